#!/usr/bin/env bash
# Runs the C++ tests and pytest against the AddressSanitizer and
# UndefinedBehaviorSanitizer build in $1, the extension module loaded into the
# ordinary interpreter with the sanitizer runtimes preloaded.
set -euo pipefail
build=$1
python=$2
root=$(cd "$(dirname "$0")/.." && pwd)
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0"
"$python" -m mesonbuild.mesonmain test -C "$build" --print-errorlogs

asan=$(g++ -print-file-name=libasan.so)
ubsan=$(g++ -print-file-name=libubsan.so)
# The interpreter itself is not built for leak checking: only memory errors count.
ASAN_OPTIONS="detect_leaks=0" LD_PRELOAD="$asan $ubsan" PYTHONPATH="$build" \
  "$python" -m pytest -q -p no:cacheprovider "$root/tests/python"
