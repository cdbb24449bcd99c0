#!/bin/sh
# Runs a test program in a private mount namespace of its own, where /dev is
# a prepared folder (the machine's terminals, null and friends bound in; the
# program adds ttyACM<N> links to its virtual instruments) and /var/lock is
# an empty tmpfs. The library then works with its real node and lock paths
# without touching the machine's own.
#
#   run-in-namespace.sh PROGRAM [ARGS...]
#
# Exits 77 (a skip for CTest) when no namespace can be made here.
# Listing the test cases (--gtest_list_tests) needs no namespace.
set -eu

for arg in "$@"; do
  case "$arg" in --gtest_list_tests) exec "$@" ;; esac
done

D=$(mktemp -d /tmp/zervon-dev.XXXXXX)
trap 'rm -rf "$D"' EXIT INT TERM
mkdir -p "$D/pts"
for n in null zero urandom random tty; do : >"$D/$n"; done

setup='
  mount -t tmpfs tmpfs /var/lock
  mount --bind /dev/pts "$D/pts"
  for n in null zero urandom random tty; do mount --bind /dev/$n "$D/$n"; done
  ln -s pts/ptmx "$D/ptmx"
  mount --rbind "$D" /dev
'
export D
export ZERVON_TEST_NAMESPACE=1
# As root a plain mount namespace will do; otherwise try a user namespace,
# where ptmx must be the host node bound in before /dev is replaced.
if unshare -m --propagation private true 2>/dev/null; then
  unshare -m --propagation private sh -ec "$setup"' exec "$@"' sh "$@"
  exit $?
fi
if unshare -r -m --propagation private true 2>/dev/null; then
  : >"$D/ptmx.host"
  unshare -r -m --propagation private sh -ec '
    mount --bind /dev/ptmx "$D/ptmx.host"
    mount -t tmpfs tmpfs /var/lock
    mount --bind /dev/pts "$D/pts"
    for n in null zero urandom random tty; do mount --bind /dev/$n "$D/$n"; done
    ln -s ptmx.host "$D/ptmx"
    mount --rbind "$D" /dev
    exec "$@"' sh "$@"
  exit $?
fi
# CI must run these tests: there a missing namespace is a failure, not a skip.
if [ -n "${CI:-}" ]; then
  echo "run-in-namespace: cannot make a mount namespace on CI" >&2
  exit 1
fi
echo "run-in-namespace: cannot make a mount namespace here (needs root or user namespaces); skipped" >&2
exit 77
