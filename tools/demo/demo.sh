#!/bin/sh
# The full demo of ./run.sh demo: a virtual instrument, and the command-line
# tool reading its identity, taking measurements, writing its flash with a
# progress bar and burning new firmware into it.
#
#   tools/demo/demo.sh BUILD_DIR
#
# A burn needs the instrument's /dev/ttyACM<N> node: the instrument restarts
# and is found again by it. As root (or where user namespaces are allowed)
# the demo runs in a private mount namespace (tests/ns/run-in-namespace.sh)
# in which the virtual instrument is /dev/ttyACM0, without touching the
# machine's /dev; elsewhere it runs on a pseudo-terminal and skips the burn.
set -eu

BUILD=$(cd "${1:?usage: demo.sh BUILD_DIR}" && pwd)
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
ZERVON=$BUILD/tools/cli/zervon
SIM=$BUILD/tools/sim/zervon-sim

# Exit code of the run inside the namespace when no virtual instrument can
# be started there (some user namespaces give no pseudo-terminals).
NO_INSTRUMENT_IN_NAMESPACE=75

if [ -z "${ZERVON_DEMO_NODE:-}" ]; then
  if "$ROOT/tests/ns/run-in-namespace.sh" true 2>/dev/null; then
    rc=0
    "$ROOT/tests/ns/run-in-namespace.sh" env ZERVON_DEMO_NODE=/dev/ttyACM0 sh "$0" "$BUILD" || rc=$?
    [ "$rc" -eq "$NO_INSTRUMENT_IN_NAMESPACE" ] || exit "$rc"
    echo "(the private namespace gives no pseudo-terminal here: the demo goes on without it)"
  fi
  ZERVON_DEMO_NODE=none
fi

WORK=$(mktemp -d /tmp/zervon-demo.XXXXXX)
SIM_PID=
cleanup() {
  [ -z "$SIM_PID" ] || { kill "$SIM_PID" 2>/dev/null || true; wait "$SIM_PID" 2>/dev/null || true; }
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

say() { printf '\n== %s\n' "$*"; }
zervon() {
  echo "\$ zervon $*"
  "$ZERVON" "$@"
}

# The instrument takes the time a real one takes (--timing real): replies
# come a 1 ms USB frame after their request, erases and flash writes when
# the chip is done, the loader's rows and restart at a loader's pace.
say "the virtual instrument"
if [ "$ZERVON_DEMO_NODE" != none ]; then
  echo "\$ zervon-sim --node $ZERVON_DEMO_NODE --value auto --timing real &"
  "$SIM" --node "$ZERVON_DEMO_NODE" --value auto --timing real >"$WORK/sim.out" 2>"$WORK/sim.err" &
else
  echo "\$ zervon-sim --value auto --timing real &"
  "$SIM" --value auto --timing real >"$WORK/sim.out" 2>"$WORK/sim.err" &
fi
SIM_PID=$!
i=0
until [ -s "$WORK/sim.out" ]; do
  i=$((i + 1))
  if [ $i -ge 100 ] || ! kill -0 "$SIM_PID" 2>/dev/null; then
    cat "$WORK/sim.err" >&2
    echo "demo: the virtual instrument did not start" >&2
    SIM_PID=
    [ "$ZERVON_DEMO_NODE" = none ] || exit "$NO_INSTRUMENT_IN_NAMESPACE"
    exit 1
  fi
  sleep 0.05
done
TERMINAL=$(head -n 1 "$WORK/sim.out")
if [ "$ZERVON_DEMO_NODE" != none ]; then
  PORT=$ZERVON_DEMO_NODE
  echo "serving on $TERMINAL, plugged in as $PORT (in a private namespace: the machine's /dev is untouched)"
  zervon list
else
  PORT=$TERMINAL
  echo "serving on $PORT"
fi

say "identity"
zervon --port "$PORT" info

say "five measurements, four a second"
zervon --port "$PORT" read --watch --rate 4 --count 5

say "32 KiB into SPI-flash region 1: erase, write, read back"
dd if=/dev/urandom of="$WORK/data.bin" bs=1024 count=32 2>/dev/null
zervon --port "$PORT" flash write --region 1 "$WORK/data.bin"
zervon --port "$PORT" flash verify --region 1 "$WORK/data.bin"

say "a firmware burn"
if [ "$ZERVON_DEMO_NODE" != none ]; then
  dd if=/dev/urandom of="$WORK/firmware.bin" bs=1024 count=40 2>/dev/null
  zervon --port "$PORT" burn "$WORK/firmware.bin" --version 3.5
  zervon --port "$PORT" info
else
  echo "skipped: a burn needs the instrument's /dev/ttyACM<N> node (the instrument restarts and is"
  echo "found again by it), and no such node could be made for the virtual instrument here without"
  echo "touching the machine's /dev (that takes root, or user namespaces that give pseudo-terminals)."
  echo "Run the demo as root to see the burn."
fi

say "done"
