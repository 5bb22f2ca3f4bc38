#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz") and runs each for SECONDS
# seconds (default 15) on the seed corpus in fuzz/corpus/<target>. New inputs
# go to a scratch folder, never into the repository. Any crash, sanitizer
# report or hang fails the run and leaves the input in build-fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-15}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"

findings=build-fuzz/findings
mkdir -p "$findings"
for target in file flow options tool; do
  work=$(mktemp -d)
  echo "fuzz: ${target}_fuzz for ${seconds}s"
  build-fuzz/fuzz/${target}_fuzz -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 \
    -artifact_prefix="$findings/${target}-" -print_final_stats=1 "$work" "fuzz/corpus/$target" 2>&1 | tail -n 4
  rm -rf "$work"
done
