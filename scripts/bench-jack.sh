#!/usr/bin/env bash
# Figures of the JACK path on dummy JACK servers (no sound card needed):
#  - the round trip through korvex measured by jack_iodelay at periods of 64
#    and 128 frames, beside the round trip of a plain wire (jack_iodelay's
#    output straight back to its input) on the same server;
#  - a freewheeling run and a paced run of SECONDS of audio at 128 frames with
#    every stage on (the input a recording played through the run's input
#    file role), reporting the cycles korvex took longer than the period for
#    (xruns korvex caused) beside the xruns the server counted (every
#    client's, and the machine's own).
#
#   scripts/bench-jack.sh [BUILD_DIR] [SECONDS]    (default build, 600 s)
set -u
build=${1:-build}
seconds=${2:-600}
here=$(cd "$(dirname "$0")/.." && pwd)
korvex="$here/$build/korvex"
[ -x "$korvex" ] || { echo "no $korvex: build it first" >&2; exit 1; }
for tool in jackd jack_iodelay jack_connect jack_freewheel jack_lsp sox; do
  command -v $tool >/dev/null || { echo "$tool is missing" >&2; exit 1; }
done

state=$(mktemp -d)
server="stravjack$$"
jackpid=
stop_server() {
  [ -n "$jackpid" ] || return 0
  kill -TERM "$jackpid" 2>/dev/null
  wait "$jackpid" 2>/dev/null
  jackpid=
}
trap 'stop_server; rm -rf "$state"' EXIT
export JACK_DEFAULT_SERVER="$server" JACK_NO_START_SERVER=1 XDG_CONFIG_HOME="$state/config"

start_server() { # PERIOD
  stop_server
  jackd -n "$server" -R -S -d dummy -r 48000 -p "$1" >"$state/jackd.log" 2>&1 </dev/null &
  jackpid=$!
  for _ in $(seq 1 500); do
    jack_lsp >/dev/null 2>&1 && return 0
    sleep 0.02
  done
  echo "the JACK server did not start:" >&2
  cat "$state/jackd.log" >&2
  exit 1
}

wait_for_port() { # PORT
  for _ in $(seq 1 500); do
    jack_lsp 2>/dev/null | grep -qx "$1" && return 0
    sleep 0.02
  done
  return 1
}

# The last measurement jack_iodelay printed: "N frames M ms total roundtrip latency".
iodelay_result() { tr '\r' '\n' <"$1" | grep -a "total roundtrip" | tail -1 | sed 's/^[[:space:]]*//'; }

quiet="--set BeepOnStart=0 --set DisableSSaver=0 --set stereo=0 --set JackConnect=0"

echo "Round trip measured by jack_iodelay (48000 Hz, every effect off):"
for period in 64 128; do
  start_server "$period"
  stdbuf -oL jack_iodelay >"$state/wire.txt" 2>&1 &
  iodelay=$!
  wait_for_port jack_delay:in
  jack_connect jack_delay:out jack_delay:in
  sleep 2
  kill "$iodelay" 2>/dev/null; wait "$iodelay" 2>/dev/null
  wire=$(iodelay_result "$state/wire.txt")

  stdbuf -oL jack_iodelay >"$state/iodelay.txt" 2>&1 &
  iodelay=$!
  wait_for_port jack_delay:in
  "$korvex" run --jack "$server" --seconds 4 $quiet >/dev/null 2>"$state/err.txt" &
  run=$!
  wait_for_port korvex:out_1
  jack_connect jack_delay:out korvex:in_1
  jack_connect jack_delay:out korvex:in_2
  jack_connect korvex:out_1 jack_delay:in
  wait "$run" || echo "  period $period: run failed: $(cat "$state/err.txt")"
  kill "$iodelay" 2>/dev/null; wait "$iodelay" 2>/dev/null
  echo "  period $period: through korvex $(iodelay_result "$state/iodelay.txt")"
  echo "  period $period: plain wire     ${wire:-no signal found}"
done

# Every stage on in its costliest form (the benchmarks' heavy rig).
sets=$(grep -o '{"[A-Za-z0-9_]*", "[^"]*"}' "$here/bench/EveryStageRig.h" |
       sed -E 's/\{"([^"]*)", "([^"]*)"\}/--set \1=\2/' | tr '\n' ' ')
sox -n -r 48000 -b 16 -c 1 "$state/guitar.wav" synth "$seconds" pluck 110 pluck 165 remix 1-2 vol 0.5 2>/dev/null ||
  sox -n -r 48000 -b 16 -c 1 "$state/guitar.wav" synth "$seconds" sine 110 vol 0.5

run_through() { # LABEL [freewheel]
  start_server 128
  local extra=
  # jackd 1.9.21 is left stuck when a client leaves while it freewheels:
  # freewheeling ends two seconds of audio before the recording does, which
  # the run's output file tells.
  [ "${2:-}" = freewheel ] && extra="--out-file $state/out.wav --force"
  "$korvex" run --jack "$server" --in-file "$state/guitar.wav" --stats $sets $extra \
    --set DisableSSaver=0 --set JackConnect=1 >"$state/run.txt" 2>"$state/err.txt" &
  run=$!
  local began=$SECONDS
  if [ "${2:-}" = freewheel ]; then
    wait_for_port korvex:out_1
    jack_freewheel y >/dev/null 2>&1
    local enough=$(( (seconds - 2) * 48000 * 4 )) # stereo, 16-bit
    while kill -0 "$run" 2>/dev/null; do
      [ "$(stat -c %s "$state/out.wav.partial" 2>/dev/null || echo 0)" -ge "$enough" ] && break
      sleep 0.05
    done
    jack_freewheel n >/dev/null 2>&1
  fi
  wait "$run"
  local code=$?
  if [ "$code" != 0 ]; then
    echo "  $1: run failed ($code): $(cat "$state/err.txt")"
    return
  fi
  echo "  $1 ($((SECONDS - began)) s of wall time): $(grep -a '^blocks' "$state/run.txt" | sed 's/^blocks/cycles/')"
  echo "  $1: $(grep -a '^late' "$state/run.txt")"
}

echo "$seconds s of audio at 128 frames (48000 Hz) with every stage on:"
run_through freewheeling freewheel
run_through paced
