#!/bin/sh
# The Debian package, built into a scratch directory.
#   check.sh files CPackConfig.cmake SCRATCH
#     builds it, checks that it holds exactly the files below, that the
#     programs are stripped and the pages compressed, and extracts it into
#     SCRATCH/root for the tests of the examples.
#   check.sh lintian CPackConfig.cmake SCRATCH
#     lintian --pedantic on the package built by `files` must print no
#     error and no warning; exits 77 (skipped) without lintian.
#   check.sh same CPackConfig.cmake SCRATCH SOURCE TREE CMAKE-ARGS...
#     builds the sources again in TREE, reached through a link and under
#     umask 077, and packages them: the package must be the one `files`
#     built, byte for byte, every member root's with the last commit's time
#     (without git, the changelog's).
set -eu
mode=$1 config=$2 scratch=$3
if [ "$mode" = same ]; then
	src=$4 tree=$5
	shift 5
	for first in "$scratch"/*.deb; do :; done
	[ -f "$first" ] || { echo "no package built"; exit 1; }
	umask 077
	mkdir -p "$tree"
	rm -rf "$tree/src" "$tree/package"
	ln -s "$src" "$tree/src"
	log=$tree/build.log
	{ cmake -S "$tree/src" -B "$tree/build" -DBUILD_TESTING=OFF "$@" &&
		cmake --build "$tree/build" -j2 &&
		cpack -G DEB --config "$tree/build/CPackConfig.cmake" \
			-B "$tree/package"; } >"$log" 2>&1 || { cat "$log"; exit 1; }
	set -- "$tree/package"/*.deb
	if ! cmp "$first" "$1"; then
		dpkg-deb -c "$first" >"$tree/first"
		dpkg-deb -c "$1" >"$tree/second"
		diff "$tree/first" "$tree/second" || true
		exit 1
	fi
	epoch=$(git -C "$src" log -1 --format=%ct 2>/dev/null) ||
		epoch=$(date -d "$(sed -n 's/^ -- .*>  //p' \
			"$src/package/changelog")" +%s)
	dpkg-deb --fsys-tarfile "$1" | tar -tv --full-time --utc |
		awk -v want="$(date -ud "@$epoch" '+%F %T')" '
			$2 != "root/root" || $4 " " $5 != want {
				print "not root/root at " want ": " $0; bad = 1
			}
			END { exit bad }'
	exit
fi
if [ "$mode" = lintian ]; then
	command -v lintian >/dev/null || {
		echo "SKIPPED: lintian not found"
		exit 77
	}
	set -- "$scratch"/*.deb
	[ -f "$1" ] || { echo "no package built"; exit 1; }
	out=$(lintian --pedantic --display-info "$1" 2>&1) || true
	echo "$out"
	! echo "$out" | grep -q '^[EW]: '
	exit
fi
rm -rf "$scratch"
mkdir -p "$scratch"
if ! cpack -G DEB --config "$config" -B "$scratch" >"$scratch/cpack.log" 2>&1
then
	cat "$scratch/cpack.log"
	exit 1
fi
set -- "$scratch"/*.deb
[ $# -eq 1 ] && [ -f "$1" ] || { echo "no package built"; exit 1; }
deb=$1
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort >"$scratch/got"
sort >"$scratch/want" <<LIST
./usr/bin/corvane
./usr/bin/icftool
./usr/bin/quenlor
./usr/share/bash-completion/completions/icftool
./usr/share/doc/icf/changelog.gz
./usr/share/doc/icf/copyright
./usr/share/doc/icf/examples/daily-report.service
./usr/share/doc/icf/examples/daily-report.timer
./usr/share/doc/icf/examples/hourly-load.service
./usr/share/doc/icf/examples/hourly-load.timer
./usr/share/doc/icf/examples/icf-dashboard.json
./usr/share/doc/icf/examples/icf.rules.test.yml
./usr/share/doc/icf/examples/icf.rules.yml
./usr/share/doc/icf/examples/myjob-cronjob.yaml
./usr/share/doc/icf/examples/myjob.service
./usr/share/doc/icf/examples/myjob.timer
$(dpkg-deb -c "$deb" | grep -o '\./usr/share/lintian/overrides/icf$')
./usr/share/man/man1/corvane.1.gz
./usr/share/man/man1/icftool.1.gz
./usr/share/man/man1/quenlor.1.gz
./usr/share/man/man5/icf.5.gz
LIST
diff -u "$scratch/want" "$scratch/got"
dpkg-deb -f "$deb" Recommends Depends | grep -q tzdata ||
	{ echo "neither Depends nor Recommends names tzdata"; exit 1; }
dpkg-deb -x "$deb" "$scratch/root"
for program in quenlor corvane icftool; do
	if readelf -S "$scratch/root/usr/bin/$program" | grep -q '\.debug_\|\.symtab'
	then
		echo "$program is not stripped"
		exit 1
	fi
done
for page in "$scratch"/root/usr/share/man/man*/*; do
	gzip -t "$page"
done
# What the package runs is what the tree built.
TZ=UTC "$scratch/root/usr/bin/icftool" create "$scratch/job.icf" 900 4 1
