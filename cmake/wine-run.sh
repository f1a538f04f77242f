#!/usr/bin/env bash
# Runs a Windows program under wine for the cross build's tests:
#   cmake/wine-run.sh [--prefix DIR] program.exe [arguments...]
# The wine prefix (default: build-windows/wineprefix of this tree) is
# created on first use.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
prefix=$here/../build-windows/wineprefix
if [[ ${1:-} == --prefix ]]; then
  prefix=$2
  shift 2
fi
mkdir -p "$prefix"
WINEPREFIX=$(cd "$prefix" && pwd)
export WINEPREFIX
export WINEDEBUG=-all
# No Mono or Gecko installer prompts while the prefix is created.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

if command -v wine >/dev/null; then
  wine=wine
elif [[ -x /usr/lib/wine/wine64 ]]; then
  wine=/usr/lib/wine/wine64
else
  echo "wine-run.sh: wine is not installed (packages wine, wine64)" >&2
  exit 127
fi

wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver64)

# Each wine session starts background services (device manager, plug and
# play) that keep the standard output of the program that started them open
# until the session ends, and ctest waits for that output to close. So the
# session is started here, away from the program's output: a wine server that
# stays up 10 s after its last program, its services started by a throw-away
# program. A lock keeps parallel test processes from doing this (or creating
# the prefix) twice; when the server is already up it costs a few ms.
(
  flock 9
  fresh=0
  # (The server and the services must not inherit the lock: 9>&-.)
  if "$wineserver" -p10 </dev/null >/dev/null 2>&1 9>&-; then fresh=1; fi
  if [[ ! -f $WINEPREFIX/.velkan-ready ]]; then
    "$wine" wineboot -i </dev/null >/dev/null 2>&1 9>&- || true
    # The prefix names C:\users\<user>\Temp as TEMP without creating it.
    mkdir -p "$WINEPREFIX/drive_c/users/$(id -un)/Temp"
    touch "$WINEPREFIX/.velkan-ready"
  elif ((fresh)); then
    "$wine" cmd /c exit </dev/null >/dev/null 2>&1 9>&- || true
  fi
) 9>"$WINEPREFIX.lock"

# Wine keeps the build machine's QT_* variables from Windows programs and
# hands them WINEQT_* under the QT_* name instead: the Qt settings the tests
# make (QT_QPA_PLATFORM=offscreen) go that way. The offscreen platform draws
# with FreeType from the flat font folder QT_QPA_FONTDIR; Debian's WenQuanYi
# Micro Hei has the Chinese texts.
while IFS='=' read -r name value; do
  if [[ -z $(printenv "WINE$name") ]]; then export "WINE$name=$value"; fi
done < <(env | grep -E '^QT_[A-Z_]+=' || true)
if [[ ${WINEQT_QPA_PLATFORM:-} == offscreen* && -z ${WINEQT_QPA_FONTDIR:-} ]]; then
  fontdir=${VELKAN_WINE_FONTDIR:-/usr/share/fonts/truetype/wqy}
  if [[ -d $fontdir ]]; then export WINEQT_QPA_FONTDIR="Z:${fontdir//\//\\}"; fi
fi

# VELKAN_WINE_LOCALE (e.g. zh_CN.UTF-8) picks the Windows system locale, and
# with it the ANSI code page, of the program; the build machine need not have
# that locale itself.
command=("$wine" "$@")
if [[ -n ${VELKAN_WINE_LOCALE:-} ]]; then
  command=(env LC_ALL="$VELKAN_WINE_LOCALE" LANG="$VELKAN_WINE_LOCALE" "$wine" "$@")
fi

# A program may start more services of the session as it goes (the desktop
# window's process, COM's rpcss), and those inherit its standard output and
# error and keep them open long after it has ended: whoever reads them
# (ctest) would wait up to a minute more. So the program writes to files of
# this script's own, passed on as they grow by two readers that end with
# the program. The program takes this script's place (exec): its exit status
# is the script's, and whoever stops the script (a test's timeout) stops it.
output=$(mktemp) errors=$(mktemp)
(tail -s 0.05 -n +1 -f --pid=$$ "$output"; rm -f "$output") &
(tail -s 0.05 -n +1 -f --pid=$$ "$errors" >&2; rm -f "$errors") &
exec "${command[@]}" >"$output" 2>"$errors"
