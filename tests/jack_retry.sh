#!/usr/bin/env bash
# Runs one test case of the JACK fixture (tests/CMakeLists.txt) and, when it
# fails, starts the shared dummy server afresh and runs the case once more.
#
# On a loaded two-core machine the dummy JACK server now and then stops
# finishing its cycles (its log then shows "ClientCloseAux wait error" and
# "engine may now behave abnormally"), and once there it stays there: a
# client's activation fails, a PCM on it stands still, every later test on it
# fails alike. The JACK tests run one at a time, so the server can be
# replaced between two attempts. A test case that fails twice fails; the
# first attempt's output stays in the log above the second, and the old
# server's log is kept beside the new one as NAME.log.old.
#
# JACK_DEFAULT_SERVER names the shared server; its state directory
# (tests/jack_server.sh) is jack-server beside the test program.
"$@"
rc=$?
[ "$rc" -eq 0 ] && exit 0
# The listing of the test cases is never run twice.
for arg in "$@"; do
  [ "$arg" = "--gtest_list_tests" ] && exit "$rc"
done
echo "== the test failed (exit $rc); once more, on a JACK server started afresh"
state="$(dirname "$1")/jack-server"
if [ -n "${JACK_DEFAULT_SERVER:-}" ] && [ -d "$state" ]; then
  server="$(dirname "$0")/jack_server.sh"
  log="$state/$JACK_DEFAULT_SERVER.log"
  "$server" stop "$JACK_DEFAULT_SERVER" "$state"
  [ -f "$log" ] && cp "$log" "$log.old"
  "$server" start "$JACK_DEFAULT_SERVER" "$state" || exit "$rc"
fi
exec "$@"
