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
# The leak checker stops every thread of a process at exit with ptrace; when a
# thread is ending at that very moment it gives up with "LeakSanitizer has
# encountered a fatal error" instead of a verdict. Such a suite runs once more;
# any other failure stands.
if ! "$python" -m mesonbuild.mesonmain test -C "$build" --print-errorlogs; then
  log="$build/meson-logs/testlog.txt"
  if grep -q "LeakSanitizer has encountered a fatal error" "$log" && ! grep -q "ERROR: LeakSanitizer: detected" "$log" \
     && ! grep -qE "^\[  FAILED  \]" "$log"; then
    failed=$("$python" - "$build/meson-logs/testlog.json" <<'PY'
import json, sys
names = []
for line in open(sys.argv[1]):
    entry = json.loads(line)
    if entry.get("result") not in ("OK", "SKIP", "EXPECTEDFAIL"):
        names.append(entry["name"])
print(" ".join(names))
PY
)
    echo "leak checker could not stop the threads of: $failed; running them once more"
    "$python" -m mesonbuild.mesonmain test -C "$build" --print-errorlogs $failed
  else
    exit 1
  fi
fi

asan=$(g++ -print-file-name=libasan.so)
ubsan=$(g++ -print-file-name=libubsan.so)
# The interpreter itself is not built for leak checking: only memory errors count.
ASAN_OPTIONS="detect_leaks=0" LD_PRELOAD="$asan $ubsan" PYTHONPATH="$build" \
  "$python" -m pytest -q -p no:cacheprovider "$root/tests/python"
