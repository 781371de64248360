#!/bin/bash
# The bash completion of icftool, as bash calls it.
#   completion-check.sh COMPLETION-FILE ICFTOOL SCRATCH
set -euo pipefail
export LC_ALL=C
completion=$1 icftool=$2 scratch=$3
rm -rf "$scratch"
mkdir -p "$scratch/bin" "$scratch/work/jobs"
printf '#!/bin/sh\n' >"$scratch/bin/icfjob-load"
chmod +x "$scratch/bin/icfjob-load"
PATH=$scratch/bin:$PATH
cd "$scratch/work"
touch job.icf jobs/a.icf
source "$completion"
failed=0

# complete LINE: what the completion offers for the last word of LINE (an
# empty last word when LINE ends with a blank), sorted, on one line.
complete_line() {
	read -ra COMP_WORDS <<<"$1"
	[[ $1 == *' ' ]] && COMP_WORDS+=("")
	COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
	_icftool
	printf '%s\n' "${COMPREPLY[@]}" | sort | xargs
}

while IFS='|' read -r line want; do
	got=$(complete_line "$line")
	[[ $got == "$want" ]] || {
		echo "'$line': offered '$got', expected '$want'"
		failed=1
	}
done <<'TABLE'
icftool |check create edit mark metrics run show
icftool m|mark metrics
icftool -|--help --version -h
icftool create -|-f -h -s -t
icftool create -f j|job.icf jobs
icftool create job.icf 9|
icftool show -j |job.icf jobs
icftool show -a |job.icf jobs
icftool show jobs/|jobs/a.icf
icftool check -l |
icftool check -l 3600 -x 2 |job.icf jobs
icftool metrics -o |job.icf jobs
icftool metrics job.icf |job.icf jobs
icftool mark -o |a n r s x
icftool mark -o x job.icf 2406 2407 |a s x
icftool mark job.icf 24|
icftool run -|-D -N -T -a -b -d -h -j -k -m -o -t -w -x
icftool run -a |job.icf jobs
icftool run -d 600,1800 -T 3000 |job.icf jobs
icftool run -j 2 job.icf -|--
icftool run job.icf -- icfjob-|icfjob-load
icftool run job.icf -- true j|
TABLE

# Every option a command takes, as its own usage lists it, is offered, and
# nothing else. The runner's -j and -b are offered before it takes them.
for command in create show check metrics mark edit run; do
	want=$("$icftool" "$command" -h 2>&1 | sed -n 's/^  \(-[A-Za-z]\).*/\1/p' | sort | xargs)
	[[ -n $want ]] || { echo "icftool $command -h lists no option"; failed=1; }
	if [[ $command == run ]]; then
		for extra in -b -j; do
			[[ $want == *"$extra"* ]] || want=$(echo "$want $extra" | xargs -n1 | sort | xargs)
		done
	fi
	got=$(complete_line "icftool $command -")
	[[ $got == "$want" ]] || {
		echo "icftool $command: completion offers '$got', its usage lists '$want'"
		failed=1
	}
done
exit $failed
