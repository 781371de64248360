#!/bin/bash
# Checks the examples with the tools that read them. Usage:
#   check.sh systemd EXAMPLES-DIR PACKAGE-ROOT SCRATCH-DIR
#   check.sh kubernetes|rules|dashboard EXAMPLES-DIR ICFTOOL SCRATCH-DIR
# PACKAGE-ROOT is the built Debian package, extracted. Exits 77 (skipped)
# when the tool that reads the example is missing.
set -euo pipefail
kind=$1 dir=$2 icftool=$3 scratch=$4
rm -rf "$scratch"
mkdir -p "$scratch"

# Runs an example's runner command line (its words) under the example's
# zone with the built runner, new checkpoint files in place of those it
# names (under /var/lib) and a job that does nothing: the runner must accept
# the zone and every option, and succeed.
run_words() {
	local zone=$1
	shift
	[[ -n $zone ]] || { echo "the example sets no TZ"; exit 1; }
	local zones=${TZDIR:-/usr/share/zoneinfo}
	if [[ ! -e $zones/UTC ]]; then
		echo "note: no zone files, run under UTC in place of $zone"
		zone=UTC
	elif [[ ! -f $zones/$zone ]]; then
		echo "the example's TZ names no zone: $zone"
		exit 1
	fi
	[[ ${1##*/} == icftool && $2 == run ]] || {
		echo "not an icftool run command: $*"
		exit 1
	}
	shift 2
	local args=() word
	while [[ $# -gt 0 && $1 != -- ]]; do
		word=$1
		shift
		if [[ $word == /var/lib/* ]]; then
			word=$scratch/${word##*/}
			[[ -e $word ]] || "$icftool" create "$word" 900 96 3
		fi
		args+=("$word")
	done
	[[ $# -ge 2 && ${#args[@]} -ge 1 ]] || { echo "no FILE -- COMMAND"; exit 1; }
	args[-1]=$scratch/job.icf
	rm -f "$scratch/job.icf"
	"$icftool" create "$scratch/job.icf" 900 96 3
	TZ=$zone "$icftool" run "${args[@]}" -- true
}

case $kind in
systemd)
	command -v systemd-analyze >/dev/null || {
		echo "SKIPPED: systemd-analyze not found"
		exit 77
	}
	# The units installed in a copy of the package's files, with what the
	# host gives them: systemd's own units and a shell. The jobs' commands
	# are the operator's, so stubs stand in for them.
	root=$scratch/root
	cp -a "$3" "$root"
	icftool=$root/usr/bin/icftool
	mkdir -p "$root/etc/systemd/system" "$root/usr/lib/systemd" \
		"$root/bin" "$root/usr/local/bin"
	units=/usr/lib/systemd/system
	[[ -d $units ]] || units=/lib/systemd/system
	cp -r "$units" "$root/usr/lib/systemd/system"
	cp /bin/sh "$root/bin/sh"
	for job in myjob hourly-load daily-report; do
		service=$dir/$job.service
		cp "$service" "$dir/$job.timer" "$root/etc/systemd/system/"
		line=$(sed -n 's/^ExecStart=//p' "$service")
		read -ra words <<<"$line"
		command=$root${words[-1]}
		printf '#!/bin/sh\n' >"$command"
		chmod +x "$command"
		out=$(systemd-analyze verify --man=no --root="$root" \
			/etc/systemd/system/$job.service \
			/etc/systemd/system/$job.timer 2>&1) || { echo "$out"; exit 1; }
		[[ -z $out ]] || { echo "$out"; exit 1; }
		# The hardening stays: an exposure of 2.0 at most (8.4 without).
		systemd-analyze security --offline=yes --root="$root" \
			--threshold=20 /etc/systemd/system/$job.service | tail -1
		grep -qx 'Persistent=true' "$dir/$job.timer"
		run_words "$(sed -n 's/^Environment=TZ=//p' "$service")" \
			"${words[@]}"
	done
	;;
kubernetes)
	py=/usr/bin/python3
	[[ -x $py ]] || py=python3
	"$py" -c 'import yaml' 2>/dev/null || {
		echo "SKIPPED: python3 with yaml not found"
		exit 77
	}
	# The CronJob's shape, then its runner's zone and words.
	"$py" - "$dir/myjob-cronjob.yaml" >"$scratch/words" <<'PY'
import sys, yaml
docs = list(yaml.safe_load_all(open(sys.argv[1])))
job = next(d for d in docs if d["kind"] == "CronJob")
assert job["spec"]["concurrencyPolicy"] == "Forbid", "not Forbid"
assert job["spec"]["timeZone"], "no timeZone"
assert job["spec"]["jobTemplate"]["spec"]["activeDeadlineSeconds"] > 0
pod = job["spec"]["jobTemplate"]["spec"]["template"]["spec"]
run = pod["containers"][0]
claims = {v["name"]: v["persistentVolumeClaim"]["claimName"]
          for v in pod["volumes"] if "persistentVolumeClaim" in v}
mount = next(m for m in run["volumeMounts"] if m["name"] in claims)
assert any(d["kind"] == "PersistentVolumeClaim" and
           d["metadata"]["name"] == claims[mount["name"]] for d in docs)
words = run["command"] + run.get("args", [])
assert words[words.index("--") - 1].startswith(mount["mountPath"] + "/")
assert pod["securityContext"]["runAsNonRoot"] is True, "may run as root"
assert pod["securityContext"]["fsGroup"], "no fsGroup for the volume"
for c in pod.get("initContainers", []) + pod["containers"]:
    locked = c["securityContext"]
    assert locked["allowPrivilegeEscalation"] is False, c["name"]
    assert locked["readOnlyRootFilesystem"] is True, c["name"]
    assert locked["capabilities"]["drop"] == ["ALL"], c["name"]
    for kind in ("requests", "limits"):
        assert set(c["resources"][kind]) == {"cpu", "memory"}, c["name"]
zone = next((e["value"] for e in run.get("env", []) if e["name"] == "TZ"), "")
print("\n".join([zone] + words))
PY
	mapfile -t words <"$scratch/words"
	run_words "${words[@]}"
	;;
rules)
	command -v promtool >/dev/null || {
		echo "SKIPPED: promtool not found"
		exit 77
	}
	cd "$dir"
	promtool check rules icf.rules.yml
	promtool test rules icf.rules.test.yml
	;;
dashboard)
	# Every metric the dashboard asks for is one that the built icftool
	# writes, read from its output on a file with an interval of each kind
	# it reports.
	export TZ=UTC
	f=$scratch/job.icf
	"$icftool" create -t 261207080500 "$f" 900 8 0
	"$icftool" run -t 261207080500 "$f" -- true
	"$icftool" run -t 261207082000 "$f" -- false || true
	"$icftool" metrics -t 261207090000 "$f" >"$scratch/metrics"
	"${py:-python3}" - "$dir/icf-dashboard.json" "$scratch/metrics" <<'PY'
import json, re, sys
dashboard = json.load(open(sys.argv[1]))
written = set(re.findall(r"^(?:# TYPE )?(icf_[a-z_]+)", open(sys.argv[2]).read(), re.M))
allowed = written
keywords = {"and", "or", "unless", "by", "without", "on", "ignoring",
            "group_left", "group_right", "offset", "bool"}
used = set()
panels = dashboard["panels"]
for panel in panels:
    assert panel["targets"], panel["title"] + ": no query"
    for target in panel["targets"]:
        expr = re.sub(r'\{[^}]*\}|"[^"]*"|\[[^]]*\]', "", target["expr"])
        expr = re.sub(r"\b(by|without|on|ignoring)\s*\([^)]*\)", "", expr)
        names = set(re.findall(r"\b[a-zA-Z_:][a-zA-Z0-9_:]*\b(?!\s*\()", expr))
        used |= names - keywords
unknown = used - allowed
assert not unknown, "metrics icftool does not write: %s" % sorted(unknown)
titles = {p["title"] for p in panels}
for want in ("Lag per file", "Intervals by status",
             "Time since the last change", "Failed intervals"):
    assert want in titles, "no panel " + want
print("metrics used:", " ".join(sorted(used)))
PY
	;;
esac
