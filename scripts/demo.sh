#!/usr/bin/env bash
# Renders the demonstration recording through the chain into out/: once
# through every preset of the demonstration preset file, and through a few
# settings given key by key.
# Usage: scripts/demo.sh BUILD_DIR
set -euo pipefail
build="${1:-build}"
cd "$(dirname "$0")/.."
mkdir -p out
# Earlier results are replaced: korvex would (rightly) refuse to overwrite
# them without asking.
rm -f out/demo-*.wav

"$build/assets/make_demo_recording" out/demo-di.wav

slug() { echo "$1" | tr 'A-Z ' 'a-z-'; }

echo
echo "Rendering it through every preset of assets/demo.fxp:"
while IFS= read -r name; do
    file="out/demo-preset-$(slug "$name").wav"
    "$build/korvex" render --in out/demo-di.wav --out "$file" --fxp assets/demo.fxp --preset "$name"
    echo "  $file  ($name)"
done < <(sed -n 's/^\[\(.*\)\]\r\{0,1\}$/\1/p' assets/demo.fxp)

render() {
    local name="$1"; shift
    "$build/korvex" render --in out/demo-di.wav --out "out/$name.wav" "$@"
    echo "  out/$name.wav"
}

echo
echo "And through settings given key by key:"
render demo-clean-mono --set stereo=0
render demo-hot-limited --set InputVolume=3.0 --set EnableLimiter=1
render demo-crunch --set dist_enabled=1 --set dist_mode=0 --set dist_clip=0 --set dist_drive=350 \
    --set dist_dry_mix=0.25 --set dist_lpfreq=6000
render demo-metal --set dist_enabled=1 --set dist_mode=2 --set dist_drive=800 --set dist_lpfreq=7000 \
    --set OutputVolume=0.5
render demo-amp-cabinet --set spkcab_enabled=1 --set preamp_stage=1 --set spk_gain=-6 --set ir_num=1 \
    --set actrl_enabled=1 --set actrl_eqtype=1 --set actrl_bass=0.55 --set actrl_mid=0.6 --set actrl_treble=0.45
render demo-funk-wah --set wah_enabled=1 --set wah_mode=0 --set wah_auto=2 --set wah_f1=400 --set wah_f2=1800 \
    --set wah_period=0.5 --set wah_sel=5 --set InputVolume=0.6
render demo-talk-box --set wah_enabled=1 --set wah_mode=3 --set wah_auto=2 --set wah_f1=500 --set wah_f2=3000 \
    --set wah_period=1.6 --set wah_sel=4 --set wah_range=0.5
render demo-octave-up --set pitch_enabled=1 --set pitch_oct=2 --set pitch_type=1 --set pitch_dry=0.5
render demo-compressed-clean --set icompr_enabled=1 --set compr_i=0.8 --set compr_treshi=-10 \
    --set compr_iattime=0.005 --set OutputVolume=2.0
render demo-phaser --set phaser_enabled=1 --set phaser_analog=1 --set phaser_delay=800 --set phaser_depth=70 \
    --set phaser_period=4 --set phaser_fb=0.5 --set phaser_wet=0.6 --set phaser_filt_stages=4
render demo-ambient --set OutputVolume=2.0 --set chorus_enabled=1 --set chorus_stereo=1 --set chorus_voices=3 \
    --set chorus_delay=0.015 --set chorus_depth=0.006 --set chorus_period=4 --set chorus_fb=0.2 \
    --set chorus_sdepth=0.012 --set chorus_wet=0.45 --set chorus_dry=0.55 --set echo_enabled=1 \
    --set echo_delay=0.45 --set echo_fb=0.45 --set echo_lpass=1 --set echo_lpfreq=3500 --set echo_2tap=1 \
    --set echo_2tapdel=0.3 --set echo_2tapspread=0.8 --set rev_enabled=1 --set rev_room=0.8 --set rev_amp=0.35 \
    --set rev_dry=0.65 --set rev_predelay=40
render demo-metronome --metronome --set MetroTempo=100

echo
echo "Done. The files are in $(pwd)/out/."
if command -v sox >/dev/null 2>&1; then
    echo
    echo "Levels (sox: peak, RMS):"
    for f in out/demo-*.wav; do
        printf '  %-40s %s  %s\n' "$(basename "$f")" \
            "$(sox "$f" -n stat 2>&1 | awk '/Maximum amplitude/ {print $3}')" \
            "$(sox "$f" -n stat 2>&1 | awk '/RMS     amplitude/ {print $3}')"
    done
fi
