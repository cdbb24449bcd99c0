#!/usr/bin/env bash
# Set-up and everyday commands of the project on a Debian machine.
#   ./run.sh demo    install what is needed, build, and run the demo against
#                    the virtual instrument
#   ./run.sh test    install what is needed, build, and run all tests
#   ./run.sh build   build only (default preset)
#   ./run.sh test-win32  install mingw-w64, cross-build the Windows x86 DLL
#                    and check its export table (win32 preset)
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(cmake ninja-build g++ make googletest libgtest-dev util-linux procps python3 clang libclang-rt-14-dev valgrind)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

install_packages() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ "${#missing[@]}" -gt 0 ]; then
    echo "== installing: ${missing[*]}"
    as_root apt-get update -q
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
  fi
}

build() {
  cmake --preset default
  cmake --build --preset default
}

run_tests() {
  ctest --preset default
}

run_demo() {
  ./build/default/tools/demo/zervon-demo
}

test_win32() {
  PACKAGES=(cmake ninja-build g++-mingw-w64-i686 binutils-mingw-w64-i686 googletest)
  install_packages
  cmake --preset win32
  cmake --build --preset win32
  ctest --preset win32
}

case "${1:-}" in
  demo) install_packages; build; run_demo ;;
  test) install_packages; build; run_tests ;;
  build) build ;;
  test-win32) test_win32 ;;
  *) echo "usage: $0 demo|test|build|test-win32" >&2; exit 2 ;;
esac
