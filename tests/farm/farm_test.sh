#!/usr/bin/env bash
# Renders a shot through a real one-node Slurm cluster, started for the test
# on localhost (munged, slurmctld, slurmd, each with its own files in a
# temporary folder) and stopped at the end whatever happens:
#   - qz submit over several tasks renders every frame of an animated flow
#     once, bit-identical to a local qz flow render;
#   - a task cancelled in the middle of its render leaves no partial output,
#     and the same submission again completes the shot;
#   - the studio submits the same shot and follows its tasks until they end;
#   - a task whose input frame is missing fails in Slurm's job records.
# Usage: farm_test.sh BIN_DIR. Exits 77 (skipped) where no cluster can start.
set -euo pipefail

qz="$(cd "$1" && pwd)/qz"
skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAILED: $*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || skip "the cluster's daemons run as root (SlurmUser=root); run as root"
for program in mungekey munged slurmctld slurmd sbatch squeue scontrol scancel; do
  command -v "$program" >/dev/null || skip "$program is missing; scripts/setup.sh installs slurm-wlm and munge"
done

dir=$(mktemp -d /tmp/qz-farm.XXXXXX)
chmod 755 "$dir"  # munged's socket must be reachable
daemons=()
stop_cluster() {
  # Jobs first, so no task outlives the daemons that track it.
  if [ ${#daemons[@]} -gt 1 ]; then
    scancel --full --quiet --user root 2>/dev/null || true
    for _ in $(seq 50); do [ -z "$(squeue -h 2>/dev/null)" ] && break; sleep 0.1; done
  fi
  for pid in "${daemons[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${daemons[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$dir"
}
trap stop_cluster EXIT

# --- The cluster ---------------------------------------------------------
# Its own munge socket, key and ports, so a system munge or Slurm is left alone.
mkdir -p "$dir/state" "$dir/spool" "$dir/shot" "$dir/out" "$dir/reference"
mungekey --create --keyfile="$dir/munge.key"
munged --foreground --force --socket="$dir/munge.sock" --key-file="$dir/munge.key" \
  --pid-file="$dir/munged.pid" --log-file="$dir/munged.log" --seed-file="$dir/munged.seed" 2>/dev/null &
daemons+=($!)
port=$((20000 + $$ % 20000))
# The node as slurmd finds it: its real CPU count and memory.
node=$(slurmd -C | head -n 1 | sed 's/^NodeName=[^ ]*/NodeName=localhost/')
export SLURM_CONF="$dir/slurm.conf"
cat >"$SLURM_CONF" <<EOF
ClusterName=qzfarm
SlurmctldHost=localhost
SlurmUser=root
SlurmctldPort=$port
SlurmdPort=$((port + 1))
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$dir/munge.sock
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/slurmctld.log
SlurmdLogFile=$dir/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
MpiDefault=none
MailProg=/bin/true
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
ReturnToService=2
# Without slurmdbd there is no sacct: finished jobs are read with scontrol,
# which knows them for MinJobAge seconds.
MinJobAge=3600
$node State=UNKNOWN
PartitionName=farm Nodes=localhost Default=YES MaxTime=INFINITE State=UP
EOF
for _ in $(seq 50); do [ -S "$dir/munge.sock" ] && break; sleep 0.1; done
slurmctld -D -i -f "$SLURM_CONF" 2>/dev/null &
daemons+=($!)
slurmd -D -N localhost -f "$SLURM_CONF" 2>/dev/null &
daemons+=($!)
for _ in $(seq 100); do
  sinfo -h -o %t 2>/dev/null | grep -qx idle && break
  sleep 0.2
done
sinfo -h -o %t | grep -qx idle || fail "the node did not come up: $(tail -n 3 "$dir/slurmd.log" "$dir/slurmctld.log")"

# --- The shot --------------------------------------------------------------
# Twelve frames of the demo's shot, its five repeated, and a flow slow enough
# (about half a second a frame) to cancel a task in the middle of its render,
# its f-stop keyed over the shot, so that each task works out its own frames'.
"$qz" demo --out "$dir/demo" >/dev/null
for frame in $(seq 12); do
  source=$(printf %04d $(((frame - 1) % 5 + 1)))
  target=$(printf %04d "$frame")
  cp "$dir/demo/seq/beauty.$source.exr" "$dir/shot/beauty.$target.exr"
  cp "$dir/demo/seq/depth.$source.exr" "$dir/shot/depth.$target.exr"
done
write_flow() {  # FILE OUTPUT_FOLDER
  cat >"$1" <<EOF
{"nodes": {"dof": {"tool": "DirtyDOF",
  "values": {"cSamples": 3000,
             "Fstop": {"keys": [{"frame": 1, "value": 0.3}, {"frame": 12, "value": 0.6, "interpolation": "smooth"}]}},
  "inputs": {"Image": {"file": "shot/beauty.####.exr"}, "Zdepth": {"file": "shot/depth.####.exr"}}}},
 "save": [{"node": "dof", "file": "$2/dof.####.exr"}]}
EOF
}
write_flow "$dir/shot.json" out
write_flow "$dir/reference.json" reference
"$qz" flow "$dir/reference.json" --frames 1-12 --quiet

# --- Helpers ---------------------------------------------------------------
# Every output in sight is whole: the very file a local render writes.
check_outputs_whole() {
  for file in "$dir"/out/dof.*.exr; do
    [ -e "$file" ] || continue
    cmp -s "$file" "$dir/reference/$(basename "$file")" || fail "$file is visible but not the finished frame"
  done
}
# Waits for the job to leave the queue, checking the outputs all the while.
wait_for_job() {  # JOB [TASK_TO_CANCEL]
  local cancelled=""
  for _ in $(seq 600); do
    check_outputs_whole
    if [ -n "${2:-}" ] && [ -z "$cancelled" ] && ls "$dir"/out/dof.*.exr >/dev/null 2>&1; then
      # Its first frame is out and the rest are still rendering.
      scancel "$1_$2"
      cancelled=yes
    fi
    [ -z "$(squeue -h -j "$1" 2>/dev/null)" ] && { check_outputs_whole; return; }
    sleep 0.2
  done
  fail "job $1 did not finish within two minutes"
}
task_state() {  # JOB TASK: "STATE EXIT_CODE"
  scontrol show job "$1_$2" | grep -o 'JobState=[A-Z_]*\|ExitCode=[0-9:]*' | cut -d= -f2 | paste -sd' '
}
submit() {
  (cd "$dir" && "$qz" submit "$dir/shot.json" --frames 1-12 "$@")
}

# --- Every frame once, as a local render makes it ---------------------------
job=$(submit --tasks 4)
[[ "$job" =~ ^[0-9]+$ ]] || fail "qz submit printed \"$job\", not a job ID"
grep -q -- '--chunk "$SLURM_ARRAY_TASK_ID/4"' "$dir/shot.sbatch" || fail "the job script does not split the frames"
wait_for_job "$job"
for task in 1 2 3 4; do
  [ "$(task_state "$job" "$task")" = "COMPLETED 0:0" ] || fail "task $task: $(task_state "$job" "$task")"
done
[ "$(ls -A "$dir/out")" = "$(ls -A "$dir/reference")" ] || fail "the outputs are not the twelve frames: $(ls "$dir/out")"
for file in "$dir"/reference/*; do
  cmp "$file" "$dir/out/$(basename "$file")" || fail "$(basename "$file") differs from the local render"
done

# --- The same shot submitted from the studio, followed until it ends --------
# As the page submits it: the saved flow over the studio's API.
rm "$dir"/out/*
mkdir "$dir/elsewhere"
(cd "$dir/elsewhere" && exec "$qz" studio "$dir/shot.json" --root "$dir" >"$dir/studio.out" 2>"$dir/studio.err") &
daemons+=($!)
for _ in $(seq 100); do grep -q '^qz studio: http' "$dir/studio.out" && break; sleep 0.1; done
url=$(sed -n 's/^qz studio: //p' "$dir/studio.out")
[ -n "$url" ] || fail "qz studio did not start: $(cat "$dir/studio.err")"
studio_api() {  # METHOD PATH [BODY]: the answer's JSON
  python3 -c 'import sys, urllib.parse, urllib.request
method, url, path = sys.argv[1:4]
body = sys.argv[4].encode() if len(sys.argv) > 4 else None
token = urllib.parse.parse_qs(urllib.parse.urlsplit(url).query)["token"][0]
request = urllib.request.Request(url.split("/?")[0] + path, data=body, method=method,
                                 headers={"X-Qz-Token": token, "Content-Type": "application/json"})
print(urllib.request.urlopen(request).read().decode())' "$1" "$url" "$2" "${3:-}"
}
json_field() { python3 -c 'import json, sys; print(json.load(sys.stdin)[sys.argv[1]])' "$1"; }
job=$(studio_api POST /api/farm-job '{"path": "shot.json", "frames": "1-12", "tasks": 3}' | json_field job)
[[ "$job" =~ ^[0-9]+$ ]] || fail "the studio answered \"$job\", not a job ID"
for _ in $(seq 600); do
  check_outputs_whole
  state=$(studio_api GET "/api/farm-job?job=$job")
  [ "$(json_field ended <<<"$state")" = True ] && break
  sleep 0.2
done
[ "$(json_field ended <<<"$state")" = True ] || fail "the studio did not see job $job end: $state"
tasks=$(python3 -c 'import json, sys
print(" ".join(f"{task}:{state}:{code}" for task, state, code in
               ((t["task"], t["state"], t["exitCode"]) for t in json.load(sys.stdin)["tasks"])))' <<<"$state")
[ "$tasks" = "1:COMPLETED:0:0 2:COMPLETED:0:0 3:COMPLETED:0:0" ] || fail "the studio saw the tasks end as $tasks"
for file in "$dir"/reference/*; do
  cmp "$file" "$dir/out/$(basename "$file")" || fail "$(basename "$file") from the studio's job differs from the local render"
done
[ -e "$dir/slurm-${job}_1.out" ] && [ -z "$(ls -A "$dir/elsewhere")" ] ||
  fail "the tasks' logs are not beside the flow: $(ls "$dir" "$dir/elsewhere")"

# --- A task cancelled while rendering; the same job again finishes ---------
rm "$dir"/out/*
job=$(submit --tasks 2)
wait_for_job "$job" 1
[[ "$(task_state "$job" 1)" == CANCELLED* ]] || fail "task 1 was not cancelled: $(task_state "$job" 1)"
[ "$(ls -A "$dir/out" | wc -l)" -lt 12 ] || fail "the cancelled task rendered all its frames before its cancel"
[ -z "$(ls -A "$dir/out" | grep -v '^dof\.[0-9]*\.exr$')" ] || fail "a cancelled task left $(ls -A "$dir/out")"
job=$(submit --tasks 2)
wait_for_job "$job"
for task in 1 2; do
  [ "$(task_state "$job" "$task")" = "COMPLETED 0:0" ] || fail "resubmitted task $task: $(task_state "$job" "$task")"
done
[ "$(ls -A "$dir/out")" = "$(ls -A "$dir/reference")" ] || fail "the resubmitted job did not complete the shot"

# --- A missing input frame fails its task in Slurm's records ----------------
rm "$dir/shot/depth.0011.exr" "$dir/out/dof.0011.exr"
job=$(submit --tasks 4)
wait_for_job "$job"
for task in 1 2 3; do  # their frames are all rendered: done, not failed
  [ "$(task_state "$job" "$task")" = "COMPLETED 0:0" ] || fail "task $task: $(task_state "$job" "$task")"
done
[ "$(task_state "$job" 4)" = "FAILED 1:0" ] || fail "task 4 lost frame 11's input yet: $(task_state "$job" 4)"
echo "farm: passed"
