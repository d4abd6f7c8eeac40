#!/usr/bin/env bash
# Starts and stops the dummy JACK server that the device tests share (the
# CTest fixture "jack"; see tests/JackTest.h).
#
#   jack_server.sh start NAME STATE_DIR [RATE]   start it, return once it answers
#   jack_server.sh stop  NAME STATE_DIR          stop it (SIGTERM, then wait)
#
# The server runs detached, with its output in STATE_DIR/NAME.log and its
# process id in STATE_DIR/NAME.pid. A server left behind by an interrupted
# run is stopped before a new one starts.
set -u

cmd=${1:?start or stop}
name=${2:?server name}
dir=${3:?state directory}
rate=${4:-48000}
pidfile="$dir/$name.pid"
log="$dir/$name.log"

alive() {
  # A zombie (nobody reaps orphans in some containers) counts as gone.
  local state
  state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) || return 1
  [ -n "$state" ] && [ "$state" != "Z" ]
}

stop_server() {
  [ -f "$pidfile" ] || return 0
  local pid
  pid=$(cat "$pidfile")
  if [ -n "$pid" ] && alive "$pid" && grep -q jackd "/proc/$pid/cmdline" 2>/dev/null; then
    kill -TERM "$pid" 2>/dev/null
    for _ in $(seq 1 250); do
      alive "$pid" || break
      sleep 0.02
    done
    if alive "$pid"; then
      kill -KILL "$pid" 2>/dev/null
      sleep 0.1
    fi
  fi
  rm -f "$pidfile"
}

case "$cmd" in
start)
  mkdir -p "$dir"
  stop_server
  # Someone started it by hand (to run a test program on its own): use it.
  if JACK_DEFAULT_SERVER="$name" JACK_NO_START_SERVER=1 jack_lsp >/dev/null 2>&1; then
    echo "JACK server $name is already running; using it"
    exit 0
  fi
  # Detached, with no inherited output: CTest waits for the pipes of a test
  # to close, and the server outlives this script.
  setsid jackd -n "$name" -R -S -d dummy -r "$rate" -p 128 >"$log" 2>&1 </dev/null &
  pid=$!
  echo "$pid" >"$pidfile"
  # Ready in about 0.3 s; allow far more on a loaded machine.
  for _ in $(seq 1 1000); do
    if JACK_DEFAULT_SERVER="$name" JACK_NO_START_SERVER=1 jack_lsp >/dev/null 2>&1; then
      echo "JACK server $name ready (rate $rate, pid $pid)"
      exit 0
    fi
    if ! alive "$pid"; then
      echo "JACK server $name ended while starting:" >&2
      cat "$log" >&2
      rm -f "$pidfile"
      exit 1
    fi
    sleep 0.02
  done
  echo "JACK server $name did not answer within 20 s" >&2
  cat "$log" >&2
  stop_server
  exit 1
  ;;
stop)
  stop_server
  echo "JACK server $name stopped"
  ;;
*)
  echo "usage: $0 start|stop NAME STATE_DIR [RATE]" >&2
  exit 2
  ;;
esac
