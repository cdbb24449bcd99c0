#!/bin/sh
# Builds the JSON reader's libFuzzer target with clang (address and
# undefined-behaviour sanitizers) and runs it for a bounded time over the
# seed corpus in fuzz/json/corpus. Exits non-zero on a crash, leak, hang or
# sanitizer report.
#
#   fuzz/run-json.sh SECONDS [WORKDIR]
#
# CXX names the compiler (default clang++). New inputs go to WORKDIR/corpus,
# never into the repository's seed corpus.
set -eu
seconds=${1:?usage: run-json.sh SECONDS [WORKDIR]}
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
work=${2:-/tmp/zervon-json-fuzz}
cxx=${CXX:-clang++}
mkdir -p "$work/corpus"
"$cxx" -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$root/include" -I"$root/src" \
  "$here/json/json_fuzzer.cpp" "$root/src/JSONParser.cpp" "$root/src/JSONFile.cpp" \
  -o "$work/json_fuzzer"
cd "$work"
exec ./json_fuzzer -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 -max_len=65536 \
  -print_final_stats=1 corpus "$here/json/corpus"
