#!/usr/bin/env bash
# The NSIS installer in a wine prefix of this test's own: a silent install,
# the installed programs run from where they were installed, then the
# uninstaller removes all of it.
#   installer_test.sh WINE_RUN SETUP.exe HEX_FILE GUI(ON|OFF) VERSION LIBPQ(ON|OFF)
set -euo pipefail
wine_run=$1 setup=$2 hex=$3 gui=$4 version=$5 pq=$6
if [[ ! -f $setup ]]; then
  echo "SKIP: $setup not made yet (scripts/package-windows makes it)"
  exit 77
fi
work=$(mktemp -d)
prefix=$work/prefix
export WINEPREFIX=$prefix
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
xvfb=
cleanup() {
  "$wineserver" -k >/dev/null 2>&1 || true
  if [[ -n $xvfb ]]; then kill "$xvfb" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
run() { "$wine_run" --prefix "$prefix" "$@"; }
winpath() { local p; p=$(realpath "$1"); echo "Z:${p//\//\\}"; }
failed=0
fail() { echo "FAIL: $*"; failed=1; }

target='C:\velkan-installed'
installed=$prefix/drive_c/velkan-installed
start=$(date +%s)
# /D= must come last and unquoted (NSIS).
run "$(winpath "$setup")" /S "/D=$target" </dev/null
# The installer may hand over to child processes: wait for the session.
"$wineserver" -w
echo "installed in $(($(date +%s) - start)) s"
expected=(bin/velkan.exe bin/velkan.dll lib/velkan.lib include/velkan/velkan.h Uninstall.exe)
if [[ $pq == ON ]]; then expected+=(bin/libpq.dll licenses/libpq.txt); fi
for f in "${expected[@]}"; do
  [[ -f $installed/$f ]] || fail "not installed: $f"
done
shortcuts=$(find "$prefix/drive_c" -path '*Start Menu*' -name '*.lnk' -path '*VELKAN Tool*' | sort)
[[ -n $shortcuts ]] || fail "no Start-menu entries"
if [[ $gui == ON ]] && ! grep -q 'VELKAN Tool.lnk' <<<"$shortcuts"; then
  fail "no Start-menu entry for the desktop application: $shortcuts"
fi

out=$(run "$target\\bin\\velkan.exe" --version 2>&1) || fail "velkan --version: $out"
[[ $out == *"velkan $version"* ]] || fail "velkan --version said: $out"
out=$(run "$target\\bin\\velkan.exe" --emulator -q program "$(winpath "$hex")" 2>&1) \
  || fail "velkan --emulator program: $out"
if [[ $pq == ON ]]; then
  # libpq.dll found beside the installed program: the record's address is
  # tried (nobody listens on port 1), not refused for want of the library.
  code=0
  out=$(run "$target\\bin\\velkan.exe" log postgresql://velkan@127.0.0.1:1/postgres 2>&1) || code=$?
  if ((code == 0)) || [[ $out != *'connection to server at "127.0.0.1", port 1 failed'* ]]; then
    fail "velkan log postgresql:// (exit status $code): $out"
  fi
fi
if [[ $gui == ON ]]; then
  # The desktop application as on a Windows desktop: Qt's windows platform
  # (the only one installed) on a display of the test's own (Xvfb), in a
  # wine session started on that display. It shows its main window, then
  # draws it into a picture (kept in VELKAN_SCREENSHOT_DIR when that is set).
  "$wineserver" -w
  if ! command -v Xvfb >/dev/null; then
    fail "no Xvfb (package xvfb) to run the desktop application on"
  else
    display=99
    while [[ -e /tmp/.X11-unix/X$display || -e /tmp/.X$display-lock ]]; do ((display++)); done
    Xvfb ":$display" -screen 0 1280x900x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb=$!
    for _ in $(seq 100); do [[ -e /tmp/.X11-unix/X$display ]] && break; sleep 0.1; done
    desktop() {
      DISPLAY=":$display" WINEQT_QPA_PLATFORM=windows timeout 120 \
        "$wine_run" --prefix "$prefix" "$target\\bin\\velkan-tool.exe" --emulator "$@" </dev/null
    }
    out=$(desktop --quit-when-shown 2>&1) || fail "velkan-tool --quit-when-shown: $out"
    [[ $out == *shown* ]] || fail "velkan-tool --quit-when-shown said: $out"
    shot=$work/velkan-tool-windows.png
    out=$(desktop --screenshot "$(winpath "$work")\\velkan-tool-windows.png" 2>&1) \
      || fail "velkan-tool --screenshot: $out"
    "$wineserver" -w
    kill "$xvfb" 2>/dev/null || true
    wait "$xvfb" 2>/dev/null || true
    # A PNG of the whole window (its width and height from the header).
    if [[ $(head -c 8 "$shot" 2>/dev/null | od -An -tx1 | tr -d ' \n') != 89504e470d0a1a0a ]]; then
      fail "no picture of the window: $out"
    else
      size=$(od -An -tu1 -j16 -N8 "$shot" | awk '{print $3*256+$4 "x" $7*256+$8}')
      echo "the windows platform drew the main window: $size"
      [[ ${size%x*} -ge 400 && ${size#*x} -ge 300 ]] || fail "a window of $size"
      if [[ -n ${VELKAN_SCREENSHOT_DIR:-} ]]; then cp "$shot" "$VELKAN_SCREENSHOT_DIR/"; fi
    fi
  fi
fi
"$wineserver" -w

# The uninstaller copies itself to the temporary folder and returns at once;
# the copy does the work, so the wait is for the whole wine session.
start=$(date +%s)
run "$target\\Uninstall.exe" /S </dev/null || fail "the uninstaller failed"
"$wineserver" -w
echo "uninstalled in $(($(date +%s) - start)) s"
if [[ -e $installed ]]; then
  fail "left behind: $(cd "$installed" && find . | head -n 20 | tr '\n' ' ')"
fi
left=$(find "$prefix/drive_c" -path '*Start Menu*' -path '*VELKAN Tool*' | head -n 5)
[[ -z $left ]] || fail "Start-menu entries left behind: $left"
if run reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\VELKAN Tool' \
     >/dev/null 2>&1; then
  fail "the uninstall entry is still in the registry"
fi
((failed == 0)) && echo "installed, run and uninstalled"
exit $failed
