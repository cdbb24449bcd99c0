#!/bin/sh
# Soak run: plug/unplug cycles with status exchanges, flash transfers and
# injected faults against the virtual instrument, for a given time, inside a
# scratch mount namespace (the library's real /dev/ttyACM<N> and /var/lock
# paths, none of the machine's own). Not part of CI.
#
#   scripts/soak.sh MINUTES [BUILD_DIR] [SEED]
#
# BUILD_DIR (default build/default) must hold a build with the tools
# (zervon-soak). The run prints the cycles done, the injected faults, the
# failures by kind and the descriptors, threads and lock files at the start
# and at the end; it exits 0 when no serious failure and no leak was seen.
# Example, at low priority with a log:
#   nice -n 19 scripts/soak.sh 32 build/faults | tee docs/soak-$(date +%F).log
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
minutes=${1:?usage: soak.sh MINUTES [BUILD_DIR] [SEED]}
build=${2:-$here/build/default}
seed=${3:-1}
program=$(find "$build" -name zervon-soak -type f -perm -u+x 2>/dev/null | head -n 1)
if [ -z "$program" ]; then
  echo "soak.sh: no zervon-soak in $build (build the tools first)" >&2
  exit 2
fi
echo "soak.sh: $(date -u '+%F %T') UTC, $minutes min, seed $seed, $(uname -srm), $(nproc) cores"
echo "soak.sh: library $(git -C "$here" rev-parse --short HEAD 2>/dev/null || echo '?') (+ working tree), program $program"
exec "$here/tests/ns/run-in-namespace.sh" "$program" "$((minutes * 60))" "$seed"
