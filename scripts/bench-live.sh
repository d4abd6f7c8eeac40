#!/usr/bin/env bash
# Live-run figures on a dummy JACK server (no sound card needed): the
# input-to-output latency of `korvex run` at several MaxDelay values,
# measured by jack_iodelay through ALSA's jack plugin, and a paced run with
# every stage on that reports breaks in the streams and block times.
#
#   scripts/bench-live.sh [BUILD_DIR] [SECONDS]    (default build, 600 s)
set -u
build=${1:-build}
seconds=${2:-600}
here=$(cd "$(dirname "$0")/.." && pwd)
korvex="$here/$build/korvex"
[ -x "$korvex" ] || { echo "no $korvex: build it first" >&2; exit 1; }
command -v jack_iodelay >/dev/null || { echo "jack_iodelay (jackd2) is missing" >&2; exit 1; }

state=$(mktemp -d)
server="stravbench$$"
trap '"$here/tests/jack_server.sh" stop "$server" "$state" >/dev/null 2>&1; rm -rf "$state"' EXIT
"$here/tests/jack_server.sh" start "$server" "$state" 48000 >/dev/null || { echo "no JACK server" >&2; exit 1; }
export JACK_DEFAULT_SERVER="$server" JACK_NO_START_SERVER=1 XDG_CONFIG_HOME="$state/config"

# One stereo-capable device whose capture hears jack_iodelay and whose
# playback goes back to it.
cat >"$state/asound.conf" <<CONF
pcm.benchloop_jack { type jack
  capture_ports { 0 "jack_delay:out" }
  playback_ports { 0 "jack_delay:in" 1 "jack_delay:in" } }
pcm.benchloop { type plug slave.pcm "benchloop_jack" }
CONF
export ALSA_CONFIG_PATH="/usr/share/alsa/alsa.conf:$state/asound.conf"

quiet="--set BeepOnStart=0 --set DisableSSaver=0 --set stereo=0"

echo "Input-to-output latency through the dummy server (48000 Hz, 128-frame server period):"
for ms in 5 10 20 40; do
  # jack_iodelay prints a line per measurement: "  N frames  M ms total roundtrip latency".
  stdbuf -oL jack_iodelay >"$state/iodelay$ms.txt" 2>&1 &
  iodelay=$!
  sleep 1
  "$korvex" run --seconds 4 --input benchloop --output benchloop $quiet --set MaxDelay=$ms >/dev/null 2>"$state/err.txt" ||
    echo "  MaxDelay $ms ms: run failed: $(cat "$state/err.txt")"
  kill "$iodelay" 2>/dev/null
  wait "$iodelay" 2>/dev/null
  # The most frequent measurement, and how far the others strayed.
  figures=$(tr '\r' '\n' <"$state/iodelay$ms.txt" | grep -a "total roundtrip" | awk '{printf "%.0f\n", $1}')
  if [ -z "$figures" ]; then
    echo "  MaxDelay $ms ms: no signal found"
  else
    echo "$figures" | sort -n | uniq -c | sort -rn | awk -v ms="$ms" '
      NR == 1 { mode = $2; n = $1 } { total += $1; if (min == "" || $2 < min) min = $2; if ($2 > max) max = $2 }
      END { printf "  MaxDelay %s ms: %d frames (%.1f ms) in %d of %d measurements; range %d..%d\n",
                   ms, mode, mode / 48.0, n, total, min, max }'
  fi
done

# Every stage on in its costliest form (the benchmarks' heavy rig).
sets=$(grep -o '{"[A-Za-z0-9_]*", "[^"]*"}' "$here/bench/EveryStageRig.h" |
       sed -E 's/\{"([^"]*)", "([^"]*)"\}/--set \1=\2/' | tr '\n' ' ')
jack_iodelay >/dev/null 2>&1 &
iodelay=$!
sleep 1
echo "A paced run of $seconds s with every stage on (MaxDelay 20 ms, the input a test tone):"
"$korvex" run --seconds "$seconds" --input benchloop --output benchloop $sets --set DisableSSaver=0 \
  --set MaxDelay=20 --stats >"$state/run.txt" 2>"$state/err.txt"
code=$?
kill "$iodelay" 2>/dev/null
wait "$iodelay" 2>/dev/null
[ "$code" = 0 ] || { echo "  run failed ($code): $(cat "$state/err.txt")"; exit 1; }
echo "  $(grep -a xruns "$state/run.txt" | tail -1)"
echo "  $(grep -a '^blocks' "$state/run.txt")"
