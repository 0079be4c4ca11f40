#!/usr/bin/env bash
# Prints the Python interpreter the project installs into: $PYTHON when set,
# else python3, unless that one is managed by the system (Debian's own), in
# which case a project virtual environment in .venv is made and used.
set -euo pipefail
if [ -n "${PYTHON:-}" ]; then
  echo "$PYTHON"
  exit 0
fi
root=$(cd "$(dirname "$0")/.." && pwd)
if [ -x "$root/.venv/bin/python" ]; then
  echo "$root/.venv/bin/python"
  exit 0
fi
system=$(command -v python3)
stdlib=$("$system" -c 'import sysconfig; print(sysconfig.get_path("stdlib"))')
if [ -f "$stdlib/EXTERNALLY-MANAGED" ]; then
  "$system" -m venv "$root/.venv" >&2
  echo "$root/.venv/bin/python"
else
  echo "$system"
fi
