#!/usr/bin/env bash
# Start-up to first paint of the desktop program (offscreen, emulated
# programmer): the main window, and the production window alone
# (--production), against an earlier build of the program when one is given.
# Usage: bench/ui/startup.sh [BASELINE-velkan-tool]
#   VELKAN_BUILD_DIR (default build/) holds the program measured.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${VELKAN_BUILD_DIR:-build}
tool="$build/bin/velkan-tool"
baseline=${1:-}
if ! command -v hyperfine >/dev/null; then
  echo "startup: hyperfine is not installed (scripts/install-deps)" >&2
  exit 1
fi
export QT_QPA_PLATFORM=offscreen
runs=(-n main "$tool --emulator --quit-when-shown"
      -n production "$tool --emulator --emulators 8 --production --quit-when-shown")
if [[ -n "$baseline" ]]; then
  runs+=(-n baseline "$baseline --emulator --quit-when-shown")
fi
hyperfine --warmup 3 --runs "${VELKAN_STARTUP_RUNS:-30}" -N "${runs[@]}"
