#!/bin/sh
# Installs a build into a staging prefix, checks what is there, builds the
# examples against the installed SDK (once through pkg-config, once through
# find_package) and runs them, the installed tool and the installed Python
# binding against the installed virtual instrument.
#
#   check-install.sh BUILD_DIR [PYTHON]
#
# The examples find the instrument as the library does, on /dev/ttyACM<N>:
# they run inside the private namespace of tests/ns/run-in-namespace.sh,
# where the virtual instrument appears as /dev/ttyACM0. Where no namespace
# can be made the run is skipped (exit 77) after the build checks passed.
set -eu

BUILD=$(cd "$1" && pwd)
PYTHON=${2:-python3}
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
WORK=$(mktemp -d /tmp/zervon-install.XXXXXX)
trap 'rm -rf "$WORK"' EXIT INT TERM
STAGE=$WORK/stage

fail() { echo "check-install: $*" >&2; exit 1; }
step() { echo "== $*"; }

step "install into $STAGE"
cmake --install "$BUILD" --prefix "$STAGE" >"$WORK/install.log" || { cat "$WORK/install.log"; fail "install failed"; }

step "installed files"
LIBNAME=$(sed -n 's/^Libs: .*-l\([^ ]*\).*/\1/p' "$STAGE/lib/pkgconfig/zervon.pc")
[ -n "$LIBNAME" ] || fail "zervon.pc names no library"
LIB=$STAGE/lib/lib$LIBNAME.so
[ "$(readlink "$LIB")" = "lib$LIBNAME.so.1" ] || fail "$LIB is not a link to lib$LIBNAME.so.1"
[ "$(readlink "$LIB.1")" = "lib$LIBNAME.so.1.0.5.1" ] || fail "$LIB.1 is not a link to lib$LIBNAME.so.1.0.5.1"
[ -f "$LIB.1.0.5.1" ] && [ ! -L "$LIB.1.0.5.1" ] || fail "$LIB.1.0.5.1 is missing"
readelf -d "$LIB.1.0.5.1" | grep -q "Library soname: \[lib$LIBNAME.so.1\]" || fail "SONAME is not lib$LIBNAME.so.1"
for f in include/zervon.h include/zervon_ext.h include/zervon_platform.h \
         lib/cmake/Zervon/ZervonConfig.cmake lib/cmake/Zervon/ZervonConfigVersion.cmake \
         bin/zervon bin/zervon-sim lib/python3/dist-packages/zervon/__init__.py \
         share/doc/zervon/examples/CMakeLists.txt; do
  [ -f "$STAGE/$f" ] || fail "$f is not installed"
done
RULE=$STAGE/lib/udev/rules.d/60-zervon.rules
[ -f "$RULE" ] || fail "the udev rule is not installed"
grep -v '^#' "$RULE" | grep 'SUBSYSTEM=="tty"' | grep 'ATTRS{idVendor}=="04d8"' | grep 'ATTRS{idProduct}=="000a"' \
  | grep 'GROUP="plugdev"' | grep -q 'ENV{ID_MM_DEVICE_IGNORE}="1"' || fail "the udev rule does not give the tty to plugdev and keep ModemManager off"
grep -q "^prefix=$STAGE\$" "$STAGE/lib/pkgconfig/zervon.pc" || fail "zervon.pc does not name the prefix $STAGE"

step "examples through pkg-config"
export PKG_CONFIG_PATH="$STAGE/lib/pkgconfig"
[ "$(pkg-config --modversion zervon)" = "1.0.5.1" ] || fail "pkg-config --modversion zervon is not 1.0.5.1"
EX=$STAGE/share/doc/zervon/examples
mkdir -p "$WORK/pc"
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror "$EX/c/zervon_minimal.c" $(pkg-config --cflags --libs zervon) -o "$WORK/pc/zervon-minimal"
# shellcheck disable=SC2046
c++ -std=c++11 -Wall -Wextra -Werror "$EX/cpp/zervon_events.cpp" $(pkg-config --cflags --libs zervon) -pthread \
  -o "$WORK/pc/zervon-events"

step "examples through find_package(Zervon)"
cmake -S "$EX" -B "$WORK/cm" -G Ninja -DCMAKE_PREFIX_PATH="$STAGE" -DCMAKE_BUILD_TYPE=Release >"$WORK/cm.log" \
  || { cat "$WORK/cm.log"; fail "the examples' CMake project does not configure"; }
cmake --build "$WORK/cm" >"$WORK/cm-build.log" || { cat "$WORK/cm-build.log"; fail "the examples do not build"; }
# The imported target points at the staged library, not the build tree.
grep -rq "$BUILD/src" "$WORK/cm/build.ninja" && fail "the examples link the build tree's library"

step "run against the virtual instrument"
export STAGE WORK PYTHON
set +e
"$ROOT/tests/ns/run-in-namespace.sh" sh "$HERE/run-installed.sh"
rc=$?
set -e
[ "$rc" -eq 77 ] && echo "check-install: the examples were built but not run: no namespace here" >&2
exit "$rc"
