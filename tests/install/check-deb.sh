#!/bin/sh
# Builds the Debian package of a build with CPack and checks its control
# fields and contents: architecture, the library with its SONAME links, the
# headers, the pkg-config file naming /usr, the CMake package, the tools,
# the udev rule and the binding.
#
#   check-deb.sh BUILD_DIR DEB_ARCH LIBRARY_NAME [DOCS]
#
# DOCS, comma-separated: "man" when the build made the manual pages, "api"
# when it made the API reference; the package must carry them then.
set -eu
BUILD=$(cd "$1" && pwd)
ARCH=$2
LIBNAME=$3
DOCS=,${4:-},
WORK=$(mktemp -d /tmp/zervon-deb.XXXXXX)
trap 'rm -rf "$WORK"' EXIT INT TERM
fail() { echo "check-deb: $*" >&2; exit 1; }

cpack --config "$BUILD/CPackConfig.cmake" -B "$WORK" >"$WORK/cpack.log" 2>&1 || { cat "$WORK/cpack.log"; fail "cpack failed"; }
DEB=$WORK/zervon_1.0.5.1_$ARCH.deb
[ -f "$DEB" ] || { ls "$WORK"; fail "no zervon_1.0.5.1_$ARCH.deb"; }
echo "built $(basename "$DEB")"
dpkg-deb -f "$DEB" Package Version Architecture Depends
[ "$(dpkg-deb -f "$DEB" Architecture)" = "$ARCH" ] || fail "Architecture is not $ARCH"
[ "$(dpkg-deb -f "$DEB" Package)" = zervon ] || fail "Package is not zervon"
[ "$(dpkg-deb -f "$DEB" Version)" = 1.0.5.1 ] || fail "Version is not 1.0.5.1"

dpkg-deb -c "$DEB" >"$WORK/contents"
has() { grep -q -- "$1" "$WORK/contents" || fail "the package lacks $1"; }
has " ./usr/lib/lib$LIBNAME.so -> lib$LIBNAME.so.1\$"
has " ./usr/lib/lib$LIBNAME.so.1 -> lib$LIBNAME.so.1.0.5.1\$"
has " ./usr/lib/lib$LIBNAME.so.1.0.5.1\$"
has " ./usr/include/zervon.h\$"
has " ./usr/include/zervon_ext.h\$"
has " ./usr/lib/pkgconfig/zervon.pc\$"
has " ./usr/lib/cmake/Zervon/ZervonConfig.cmake\$"
has " ./usr/lib/cmake/Zervon/ZervonTargets.cmake\$"
has " ./usr/bin/zervon\$"
has " ./usr/bin/zervon-sim\$"
has " ./usr/lib/udev/rules.d/60-zervon.rules\$"
has " ./usr/lib/python3/dist-packages/zervon/__init__.py\$"
has " ./usr/share/doc/zervon/copyright\$"
has " ./usr/share/doc/zervon/changelog.gz\$"
has " ./usr/share/bash-completion/completions/zervon\$"
case $DOCS in *,man,*)
  has " ./usr/share/man/man1/zervon.1.gz\$"
  has " ./usr/share/man/man1/zervon-sim.1.gz\$" ;;
esac
case $DOCS in *,api,*) has " ./usr/share/doc/zervon/api/index.html\$" ;; esac
grep -q "_CPack_Packages\|$BUILD" "$WORK/contents" && fail "the package holds build paths"

dpkg-deb -x "$DEB" "$WORK/root"
grep -q '^prefix=/usr$' "$WORK/root/usr/lib/pkgconfig/zervon.pc" || fail "zervon.pc does not name /usr"
grep -rq "_CPack_Packages\|$WORK" "$WORK/root/usr/lib/pkgconfig" "$WORK/root/usr/lib/cmake" && fail "build paths in the package's files"
readelf -d "$WORK/root/usr/lib/lib$LIBNAME.so.1.0.5.1" | grep -q "Library soname: \[lib$LIBNAME.so.1\]" \
  || fail "the packaged library's SONAME is not lib$LIBNAME.so.1"
# On its own architecture the packaged tool runs from the unpacked tree,
# finding the packaged library beside it.
if [ "$ARCH" = "$(dpkg --print-architecture)" ]; then
  env -u LD_LIBRARY_PATH "$WORK/root/usr/bin/zervon" --help >/dev/null || fail "the packaged zervon does not run"
fi
grep -q '^License: MIT$' "$WORK/root/usr/share/doc/zervon/copyright" || fail "the copyright file names no MIT licence"
zcat "$WORK/root/usr/share/doc/zervon/changelog.gz" | head -1 | grep -q '^zervon (1\.0\.5\.1) ' \
  || fail "the changelog does not begin with version 1.0.5.1"
case $DOCS in *,man,*)
  # The pages are made from the tools' help.
  man1=$WORK/root/usr/share/man/man1
  zcat "$man1/zervon.1.gz" | grep -q '^\.TH ZERVON "1" .* "zervon 1\.0\.5\.1"' || fail "zervon(1) has no title"
  zcat "$man1/zervon.1.gz" | grep -q 'memmap read|write|verify' || fail "zervon(1) lacks the commands"
  zcat "$man1/zervon-sim.1.gz" | grep -q '^\.TH ZERVON-SIM "1"' || fail "zervon-sim(1) has no title"
  zcat "$man1/zervon-sim.1.gz" | grep -q 'corrupt\\-flash' || fail "zervon-sim(1) lacks the options" ;;
esac
dpkg-deb -e "$DEB" "$WORK/control"
[ -x "$WORK/control/postinst" ] || fail "no postinst"
echo "check-deb: zervon_1.0.5.1_$ARCH.deb is complete"
