#!/usr/bin/env bash
# Renders the demonstration recording through the chain into out/.
# Usage: scripts/demo.sh BUILD_DIR
set -euo pipefail
build="${1:-build}"
cd "$(dirname "$0")/.."
mkdir -p out
# Earlier results are replaced: korvex would (rightly) refuse to overwrite
# them without asking.
rm -f out/demo-*.wav

"$build/assets/make_demo_recording" out/demo-di.wav

render() {
    local name="$1"; shift
    "$build/korvex" render --in out/demo-di.wav --out "out/$name.wav" "$@"
    echo "  out/$name.wav  ($*)"
}

echo "Rendering the demonstration recording:"
render demo-clean-mono --set stereo=0
render demo-clean-stereo --set stereo=1
render demo-hot-limited --set stereo=1 --set InputVolume=3.0 --set EnableLimiter=1
render demo-quiet --set stereo=0 --set OutputVolume=0.25

echo
echo "Done. The files are in $(pwd)/out/:"
ls -1 out/demo-*.wav | sed 's/^/  /'
if command -v sox >/dev/null 2>&1; then
    echo
    echo "Levels (sox):"
    for f in out/demo-*.wav; do
        printf '  %-28s peak %s  rms %s\n' "$(basename "$f")" \
            "$(sox "$f" -n stat 2>&1 | awk '/Maximum amplitude/ {print $3}')" \
            "$(sox "$f" -n stat 2>&1 | awk '/RMS     amplitude/ {print $3}')"
    done
fi
