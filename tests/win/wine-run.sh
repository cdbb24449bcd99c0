#!/usr/bin/env bash
# Runs a Windows program under wine64 in the world that wine-harness.sh made
# (the win64 preset's CMAKE_CROSSCOMPILING_EMULATOR):
#   ZERVON_WINE_STATE=STATE_DIR wine-run.sh PROGRAM.exe ARGS...
# The run is bounded by ZERVON_WINE_TIMEOUT seconds (default 110): then the
# program and whatever it started are killed. Its output is collected in a
# file and shown when it ends, so that a wine process it leaves behind holds
# no pipe of the caller's open. Exit 77 (skip) when no harness runs there,
# except on CI (CI set), where that fails.
state=${ZERVON_WINE_STATE:-}
if [ -z "$state" ] || [ ! -f "$state/env" ]; then
  echo "wine-run: no wine harness is running in '${state}' (see tests/win/wine-harness.sh)" >&2
  [ -n "${CI:-}" ] && exit 1
  exit 77
fi
# shellcheck disable=SC1091
. "$state/env"
limit=${ZERVON_WINE_TIMEOUT:-110}
out=$(mktemp)
timeout -k 5 "$limit" "$ZERVON_WINE64" "$@" </dev/null >"$out" 2>&1
rc=$?
tr -d '\r' <"$out"
rm -f "$out"
[ "$rc" -eq 124 ] && echo "wine-run: $1 did not end within $limit s and was killed" >&2
exit "$rc"
