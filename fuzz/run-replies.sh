#!/bin/sh
# Builds the libFuzzer target for the library's handling of instrument
# replies (fuzz/replies) with clang (address and undefined-behaviour
# sanitizers) and runs it for a bounded time over the seed corpus and the
# kept regression inputs. Exits non-zero on a crash, leak, hang, sanitizer
# report or a result outside its documented range.
#
#   fuzz/run-replies.sh SECONDS [WORKDIR]
#
# CXX names the compiler (default clang++). New inputs go to WORKDIR/corpus,
# never into the repository. A crash is written to WORKDIR/crash-*; once it
# is fixed, keep it in fuzz/replies/regressions.
set -eu
seconds=${1:?usage: run-replies.sh SECONDS [WORKDIR]}
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
work=${2:-/tmp/zervon-replies-fuzz}
cxx=${CXX:-clang++}
mkdir -p "$work/corpus"
src="$root/src"
# The library's Linux units (see src/CMakeLists.txt).
"$cxx" -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -DZERVON_BUILDING -I"$root/include" -I"$src" \
  "$here/replies/replies_fuzzer.cpp" \
  "$src/Monitor.cpp" "$src/Monitor_posix.cpp" "$src/Platform.cpp" "$src/Platform_linux.cpp" \
  "$src/Event.cpp" "$src/main.cpp" "$src/main_posix.cpp" "$src/Protocol.cpp" "$src/Flash.cpp" \
  "$src/Flash_posix.cpp" "$src/Device.cpp" "$src/Device_posix.cpp" "$src/Device_linux.cpp" \
  "$src/SimpleCriticalSection.cpp" "$src/Utils.cpp" "$src/stdafx.cpp" \
  -lpthread -lrt -o "$work/replies_fuzzer"
cd "$work"
# The regression inputs first, each once: any of them failing again ends the run.
if ls "$here/replies/regressions/"* >/dev/null 2>&1; then
  ./replies_fuzzer -runs=0 "$here/replies/regressions"
fi
exec ./replies_fuzzer -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 -max_len=4096 \
  -print_final_stats=1 corpus "$here/replies/corpus"
