#!/usr/bin/env bash
# Times 24-frame sequences whose nodes read one still input: UVpositioner
# over one 4096 x 4096 texture, and Convolution (fast sampling, 250 taps)
# with one kernel image. The still input is read once for the whole range.
# With a second qz (another build), times both, alternating, for the same work.
# Usage: bench/still_inputs.sh [BUILD_DIR] [RUNS] [OTHER_QZ]
set -euo pipefail
build=${1:-build}
runs=${2:-3}
other=${3:-}
qz="$(cd "$build" && pwd)/bin/qz"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

oiiotool --pattern fill:topleft=0.1,0.2,0.3,1:topright=0.9,0.2,0.1,1:bottomleft=0.2,0.8,0.4,1:bottomright=0.7,0.6,0.9,1 \
    4096x4096 4 --pattern noise:type=gaussian:mean=0:stddev=0.02 4096x4096 4 --add \
    -d half --compression zip -o "$work/texture.exr"
oiiotool --pattern fill:left=0,0,0,1:right=1,0,0,1 1920x1080 4 --pattern fill:top=0,1,0,0:bottom=0,0,0,0 1920x1080 4 \
    --add -d float --compression zip -o "$work/uv.0001.exr"
oiiotool --pattern fill:left=0.1,0.2,0.3,1:right=0.9,0.7,0.5,1 1920x1080 4 \
    --pattern noise:type=gaussian:mean=0:stddev=0.01 1920x1080 4 --add -d half --compression zip -o "$work/plate.0001.exr"
oiiotool --pattern checker:width=4:height=4 31x31 4 -d float -o "$work/kernel.exr"
for frame in $(seq 2 24); do
    cp "$work/uv.0001.exr" "$work/uv.$(printf %04d "$frame").exr"
    cp "$work/plate.0001.exr" "$work/plate.$(printf %04d "$frame").exr"
done
mkdir "$work/out"
cat > "$work/uv.json" <<'JSON'
{"nodes": {"uv": {"tool": "UVpositioner", "inputs": {"Image": {"file": "texture.exr"}, "UV": {"file": "uv.####.exr"}}}},
 "save": [{"node": "uv", "file": "out/uv.####.exr"}]}
JSON
cat > "$work/convolution.json" <<'JSON'
{"nodes": {"blur": {"tool": "Convolution", "inputs": {"Image": {"file": "plate.####.exr"}, "Kernel": {"file": "kernel.exr"}}}},
 "save": [{"node": "blur", "file": "out/blur.####.exr"}]}
JSON

# The best of $runs wall times of a command, in seconds.
best() {
    local best=""
    for _ in $(seq "$runs"); do
        local start end
        start=$(date +%s.%N)
        "$@" >/dev/null
        end=$(date +%s.%N)
        best=$(echo "$start $end ${best:-1e9}" | awk '{t = $2 - $1; print (t < $3 ? t : $3)}')
    done
    echo "$best"
}

for flow in uv convolution; do
    mine=$(best "$qz" flow "$work/$flow.json" --frames 1-24 --threads 2 --quiet)
    if [ -n "$other" ]; then
        theirs=$(best "$other" flow "$work/$flow.json" --frames 1-24 --threads 2 --quiet)
        printf '%-12s 24 frames: %6.2f s, other qz %6.2f s (%.2fx)\n' "$flow" "$mine" "$theirs" \
            "$(echo "$theirs $mine" | awk '{print $1 / $2}')"
    else
        printf '%-12s 24 frames: %6.2f s\n' "$flow" "$mine"
    fi
done
