#!/bin/bash
# Checks the example units against the built runner. Usage:
#   check.sh systemd|kubernetes EXAMPLES-DIR ICFTOOL SCRATCH-DIR
# Exits 77 (skipped) when the tool that reads the example is missing.
set -euo pipefail
kind=$1 dir=$2 icftool=$3 scratch=$4
rm -rf "$scratch"
mkdir -p "$scratch"

# Runs an example's runner command line (its words) with the built runner, a
# new checkpoint file and a job that does nothing: the runner must accept
# every option and succeed.
run_words() {
	[[ ${1##*/} == icftool && $2 == run ]] || {
		echo "not an icftool run command: $*"
		exit 1
	}
	shift 2
	local args=()
	while [[ $# -gt 0 && $1 != -- ]]; do args+=("$1"); shift; done
	[[ $# -ge 2 && ${#args[@]} -ge 1 ]] || { echo "no FILE -- COMMAND"; exit 1; }
	args[-1]=$scratch/job.icf
	"$icftool" create "$scratch/job.icf" 900 96 3
	"$icftool" run "${args[@]}" -- true
}

case $kind in
systemd)
	command -v systemd-analyze >/dev/null || {
		echo "SKIPPED: systemd-analyze not found"
		exit 77
	}
	sed -e "s|/usr/local/bin/icftool|$icftool|g" \
		-e "s|/usr/local/bin/process-interval|/bin/true|" \
		"$dir/myjob.service" >"$scratch/myjob.service"
	cp "$dir/myjob.timer" "$scratch/"
	out=$(systemd-analyze verify --man=no "$scratch/myjob.service" \
		"$scratch/myjob.timer" 2>&1) || { echo "$out"; exit 1; }
	[[ -z $out ]] || { echo "$out"; exit 1; }
	grep -qx 'Persistent=true' "$dir/myjob.timer"
	line=$(sed -n 's/^ExecStart=//p' "$dir/myjob.service")
	read -ra words <<<"$line"
	run_words "${words[@]}"
	;;
kubernetes)
	py=/usr/bin/python3
	[[ -x $py ]] || py=python3
	"$py" -c 'import yaml' 2>/dev/null || {
		echo "SKIPPED: python3 with yaml not found"
		exit 77
	}
	# The CronJob's shape, then its runner's words.
	"$py" - "$dir/myjob-cronjob.yaml" >"$scratch/words" <<'PY'
import sys, yaml
docs = list(yaml.safe_load_all(open(sys.argv[1])))
job = next(d for d in docs if d["kind"] == "CronJob")
assert job["spec"]["concurrencyPolicy"] == "Forbid", "not Forbid"
pod = job["spec"]["jobTemplate"]["spec"]["template"]["spec"]
run = pod["containers"][0]
claims = {v["name"]: v["persistentVolumeClaim"]["claimName"]
          for v in pod["volumes"] if "persistentVolumeClaim" in v}
mount = next(m for m in run["volumeMounts"] if m["name"] in claims)
assert any(d["kind"] == "PersistentVolumeClaim" and
           d["metadata"]["name"] == claims[mount["name"]] for d in docs)
words = run["command"] + run.get("args", [])
assert words[words.index("--") - 1].startswith(mount["mountPath"] + "/")
print("\n".join(words))
PY
	mapfile -t words <"$scratch/words"
	run_words "${words[@]}"
	;;
esac
