#!/bin/sh
# Builds the Debian package into a scratch directory and checks that it
# holds the three programs, the four manual pages and the example units,
# and nothing else.
# Usage: package-files.sh CPackConfig.cmake scratch-directory
set -eu
config=$1
scratch=$2
rm -rf "$scratch"
mkdir -p "$scratch"
if ! cpack -G DEB --config "$config" -B "$scratch" >"$scratch/cpack.log" 2>&1
then
	cat "$scratch/cpack.log"
	exit 1
fi
set -- "$scratch"/*.deb
[ $# -eq 1 ] && [ -f "$1" ] || { echo "no package built"; exit 1; }
dpkg-deb -c "$1" | awk '$1 !~ /^d/ { print $6 }' | sort >"$scratch/got"
sort >"$scratch/want" <<EOF
./usr/bin/corvane
./usr/bin/icftool
./usr/bin/quenlor
./usr/share/man/man1/corvane.1
./usr/share/man/man1/icftool.1
./usr/share/man/man1/quenlor.1
./usr/share/man/man5/icf.5
./usr/share/doc/icf/examples/myjob-cronjob.yaml
./usr/share/doc/icf/examples/myjob.service
./usr/share/doc/icf/examples/myjob.timer
EOF
diff -u "$scratch/want" "$scratch/got"
