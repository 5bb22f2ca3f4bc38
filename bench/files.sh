#!/usr/bin/env bash
# Times qz end to end against oiiotool doing the same work on this machine,
# in one run, alternating the two, and prints the best wall time of each and
# their ratio:
#   1. one 2048 x 2048 float RGBA zip EXR divided by a constant;
#   2. 50 frames of 1920 x 1080 half zip EXR through a per-pixel tool, 2 threads.
# Usage: bench/files.sh [BUILD_DIR] [RUNS]
set -euo pipefail
build=${1:-build}
runs=${2:-3}
qz="$(cd "$build" && pwd)/bin/qz"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Pictures like renders: smooth ramps under a little grain.
oiiotool --pattern fill:top=0.1,0.2,0.3,1:bottom=0.9,0.7,0.5,1 2048x2048 4 \
    --pattern noise:type=gaussian:mean=0:stddev=0.01 2048x2048 4 --add \
    -d float --compression zip -o "$work/frame.exr"
mkdir "$work/seq"
oiiotool --pattern fill:left=0.1,0.2,0.3,1:right=0.9,0.7,0.5,1 1920x1080 4 \
    --pattern noise:type=gaussian:mean=0:stddev=0.01 1920x1080 4 --add \
    -d half --compression zip -o "$work/seq/plate.0001.exr"
for frame in $(seq 2 50); do
    cp "$work/seq/plate.0001.exr" "$work/seq/plate.$(printf %04d "$frame").exr"
done

# The best of $runs wall times of a command, in seconds.
best() {
    local best=""
    for _ in $(seq "$runs"); do
        local start end took
        start=$(date +%s.%N)
        "$@" >/dev/null 2>&1
        end=$(date +%s.%N)
        took=$(echo "$end - $start" | bc)
        if [ -z "$best" ] || [ "$(echo "$took < $best" | bc)" -eq 1 ]; then best=$took; fi
    done
    echo "$best"
}

report() {
    printf '%-44s qz %6.2f s   oiiotool %6.2f s   ratio %.2f\n' "$1" "$2" "$3" "$(echo "$2 / $3" | bc -l)"
}

frame_qz=$(best "$qz" run ZDevider -i "Input=$work/frame.exr" -s Zmax=2 -o "$work/qz.exr")
frame_oiio=$(best oiiotool "$work/frame.exr" --divc 2,2,2,1 -o "$work/oiio.exr")
report "2048x2048 float RGBA zip EXR / constant" "$frame_qz" "$frame_oiio"

seq_qz=$(best "$qz" run ZDevider -i "Input=$work/seq/plate.####.exr" -s Zmax=2 --frames 1-50 --threads 2 -q \
    -o "$work/seq/qz.####.exr")
seq_oiio=$(best oiiotool --threads 2 --frames 1-50 "$work/seq/plate.#.exr" --divc 2,2,2,1 -o "$work/seq/oiio.#.exr")
report "50 x 1920x1080 half EXR, per-pixel, 2 threads" "$seq_qz" "$seq_oiio"
