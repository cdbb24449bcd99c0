#!/bin/sh
# Part of check-install.sh, inside the namespace: the installed virtual
# instrument on /dev/ttyACM0, the examples, the tool and the binding from
# the staging prefix $STAGE.
set -eu
fail() { echo "check-install: $*" >&2; exit 1; }

start_sim() {
  "$STAGE/bin/zervon-sim" --node /dev/ttyACM0 "$@" >"$WORK/sim.out" 2>"$WORK/sim.err" &
  SIM=$!
  i=0
  until [ -L /dev/ttyACM0 ]; do
    i=$((i + 1)); [ $i -lt 100 ] || fail "zervon-sim made no /dev/ttyACM0"
    sleep 0.05
  done
}
# The pkg-config builds find the library through LD_LIBRARY_PATH; the CMake
# builds through the run path CMake gives them from the imported target.
example() {
  build=$1; shift
  if [ "$build" = pc ]; then LD_LIBRARY_PATH=$STAGE/lib "$WORK/$build/$@"; else env -u LD_LIBRARY_PATH "$WORK/$build/$@"; fi
}
stop_sim() { kill "$SIM" 2>/dev/null || true; wait "$SIM" 2>/dev/null || true; }
trap stop_sim EXIT

start_sim
for build in pc cm; do
  out=$(example "$build" zervon-minimal 0) || fail "$build/zervon-minimal failed: $out"
  echo "$build/zervon-minimal: $out"
  echo "$out" | grep -q "serial number VRX2107-030300, model RX, hardware code 5, firmware 3.2, library 1.0.5.1" \
    || fail "$build/zervon-minimal printed no identity"
  echo "$out" | grep -q "measured 12.340 (report 3 0 0 0 0), battery good" || fail "$build/zervon-minimal measured nothing"
done
out=$(example pc zervon-minimal 5 2>&1) && fail "zervon-minimal found an instrument on ttyACM5"
echo "$out" | grep -q "no instrument" || fail "zervon-minimal on ttyACM5: $out"

# The tool finds its library in the installed tree by itself.
json=$(env -u LD_LIBRARY_PATH "$STAGE/bin/zervon" --port /dev/ttyACM0 info --json) || fail "installed zervon info failed"
echo "zervon info: $json"
echo "$json" | grep -q '"library":"1.0.5.1"' || fail "installed zervon info: $json"

# The binding finds its library in the installed tree by itself.
env -u ZERVON_LIBRARY PYTHONPATH="$STAGE/lib/python3/dist-packages" "$PYTHON" -c '
import importlib.metadata, zervon
assert importlib.metadata.version("zervon") == "1.0.5.1"
with zervon.Instrument("/dev/ttyACM0") as instrument:
    info = instrument.info()
    assert (info.serial, info.library) == ("VRX2107-030300", "1.0.5.1"), info
    print("binding:", info.serial, instrument.read().value)
' || fail "the installed binding failed"

# The C++ example's help is a success, on standard output.
example cm zervon-events --help | grep -q "^usage: " || fail "zervon-events --help failed"

# The C++ example hears the connection, measures, and hears the loss.
for build in cm pc; do
  example "$build" zervon-events --samples 2 --wait-loss --timeout 15 >"$WORK/events.out" 2>&1 &
  EVENTS=$!
  i=0
  until grep -q "waiting for the instrument" "$WORK/events.out"; do
    i=$((i + 1)); [ $i -lt 200 ] || { cat "$WORK/events.out"; fail "$build/zervon-events did not connect"; }
    sleep 0.05
  done
  stop_sim
  wait "$EVENTS" || { cat "$WORK/events.out"; fail "$build/zervon-events failed"; }
  sed "s|^|$build/zervon-events: |" "$WORK/events.out"
  grep -q "^connected: VRX2107-030300$" "$WORK/events.out" || fail "$build/zervon-events heard no connection"
  grep -q "^sample 2: 12.340$" "$WORK/events.out" || fail "$build/zervon-events took no samples"
  [ "$(tail -1 "$WORK/events.out")" = "lost" ] || fail "$build/zervon-events heard no loss"
  [ "$build" = pc ] || start_sim
done
echo "check-install: all installed pieces work"
