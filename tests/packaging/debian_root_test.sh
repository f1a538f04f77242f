#!/usr/bin/env bash
# Installs this build's Debian packages into a clean minimal Debian 12 root,
# as a new user would (mmdebstrap, then apt-get install ./*.deb), and checks
# there:
#   - velkan pulls in no Qt (nor Mesa, LLVM) and works (its version, a
#     programming script for the emulator);
#   - the Python package imports, knows its version (velkan.__version__ and
#     importlib.metadata) and was byte-compiled;
#   - velkan-tool --version answers without a display;
#   - velkan-tool renders its window with Chinese glyphs from the fonts its
#     package brings: a CJK font is there (fc-list :lang=zh), and the page
#     differs from the same page drawn without it (where Qt draws boxes);
#   - purging every package leaves no file of ours and no byte-code.
# It prints the package counts and installed sizes of velkan and
# velkan-tool. Needs root and the Debian mirror: without them it says so in
# one line and exits 77 (skipped). Downloaded packages are kept for the next
# run in VELKAN_DEBIAN_CACHE (default /var/cache/velkan/debian-root: the
# test runs as root, and a fresh checkout's build folder starts empty).
#
# Usage: debian_root_test.sh BUILD_DIR SOURCE_DIR VERSION
set -euo pipefail

build=$1 source=$2 version=$3
work=$build/tests/packaging/debian-root
cache=${VELKAN_DEBIAN_CACHE:-/var/cache/velkan/debian-root}
suite=${VELKAN_DEBIAN_SUITE:-bookworm}
mirror=${VELKAN_DEBIAN_MIRROR:-http://deb.debian.org/debian}

skip() {
  echo "SKIPPED: clean Debian root test: $*"
  exit 77
}
[[ $(id -u) == 0 ]] || skip "needs root (mmdebstrap, chroot)"
command -v mmdebstrap >/dev/null || skip "mmdebstrap is not installed (scripts/install-deps)"
unshare --mount true 2>/dev/null || skip "cannot mount file systems here (mmdebstrap's chroot needs /proc)"
python3 - "$mirror/dists/$suite/Release" <<'EOF' || skip "the Debian mirror $mirror cannot be reached"
import sys, urllib.request
try:
    urllib.request.urlopen(urllib.request.Request(sys.argv[1], method="HEAD"), timeout=15)
except Exception:
    sys.exit(1)
EOF

rm -rf "$work"
mkdir -p "$work/debs" "$work/results" "$cache"
start=$(date +%s)

(cd "$work" && cpack -G DEB -B "$work/out" --config "$build/CPackConfig.cmake" >"$work/cpack.log" 2>&1) ||
  {
    cat "$work/cpack.log" >&2
    exit 1
  }
for package in velkan velkan-tool libvelkan2 libvelkan-dev python3-velkan; do
  ls "$work/out/${package}_${version}-1_"*.deb >/dev/null 2>&1 || {
    echo "FAILED: cpack wrote no package $package" >&2
    exit 1
  }
done
cp "$work"/out/*.deb "$source/examples/small.hex" "$work/debs/"

# What runs inside the root, as root, with /proc and /dev mounted.
cat >"$work/debs/check.sh" <<'EOF'
set -uo pipefail
version=$1
cd /tmp/debs
out=/tmp/results
failures=0
fail() { echo "FAILED: $*" >&2; failures=$((failures + 1)); }
export DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8
apt_install() { # LOG PACKAGE...: installs, writes the count and the size
  local log=$1; shift
  apt-get install -y "$@" >"$out/$log" 2>&1 || { cat "$out/$log" >&2; return 1; }
  grep -E 'newly installed|additional disk space' "$out/$log"
}
echo "== velkan"
apt_install cli.log ./velkan_*.deb || fail "apt-get install ./velkan_*.deb"
qt=$(dpkg-query -W -f '${Package}\n' | grep -iE 'qt|mesa|llvm' | tr '\n' ' ')
[[ -z $qt ]] || fail "velkan pulled in $qt"
echo "velkan: Installed-Size $(dpkg-query -W -f '${Installed-Size}' velkan) KiB"
echo "== libvelkan2, libvelkan-dev, python3-velkan"
apt_install lib.log ./libvelkan2_*.deb ./libvelkan-dev_*.deb ./python3-velkan_*.deb ||
  fail "apt-get install of the library packages"
[[ $(velkan --version) == "velkan $version" ]] || fail "velkan --version: $(velkan --version 2>&1)"
lines=$(velkan --emulator script small.hex | wc -l)
((lines > 4)) || fail "velkan --emulator script printed $lines lines"
python=$(cd / && python3 -c 'import importlib.metadata as m, velkan
print(velkan.__version__, m.version("velkan"))' 2>&1)
[[ $python == "$version $version" ]] || fail "Python version: $python"
ls /usr/lib/python3/dist-packages/velkan/__pycache__/__init__.cpython-*.pyc >/dev/null 2>&1 ||
  fail "the Python package was not byte-compiled"

echo "== velkan-tool"
apt_install gui.log ./velkan-tool_*.deb || fail "apt-get install ./velkan-tool_*.deb"
echo "velkan-tool: Installed-Size $(dpkg-query -W -f '${Installed-Size}' velkan-tool) KiB"
tool_version=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM velkan-tool --version 2>&1) ||
  fail "velkan-tool --version without a display: $tool_version"
[[ $tool_version == "velkan-tool $version" ]] || fail "velkan-tool --version: $tool_version"
[[ -n $(fc-list :lang=zh family) ]] || fail "no font with Chinese glyphs (fc-list :lang=zh)"
fc-list :lang=zh family | head -n 3 | sed 's/^/CJK font: /'
export QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=/tmp/xdg
mkdir -p -m 0700 /tmp/xdg
timeout 60 velkan-tool --emulator --screenshot "$out/page.png" || fail "velkan-tool --screenshot"
# The same page where fontconfig knows only the Latin fonts.
latin=$(fc-list : file | grep -viE 'wqy|cjk' | sed 's,/[^/]*: *$,,' | sort -u)
{
  echo '<?xml version="1.0"?><!DOCTYPE fontconfig SYSTEM "fonts.dtd"><fontconfig>'
  for dir in $latin; do echo "<dir>$dir</dir>"; done
  echo '<cachedir>/tmp/fc-latin</cachedir></fontconfig>'
} >/tmp/fonts-latin.conf
FONTCONFIG_FILE=/tmp/fonts-latin.conf timeout 60 velkan-tool --emulator --screenshot "$out/page-latin.png" ||
  fail "velkan-tool --screenshot with Latin fonts only"
if [[ -s $out/page.png && -s $out/page-latin.png ]] && cmp -s "$out/page.png" "$out/page-latin.png"; then
  fail "the window looks the same without the Chinese font: its text is boxes"
fi

echo "== purge"
apt-get purge -y velkan-tool velkan python3-velkan libvelkan-dev libvelkan2 >"$out/purge.log" 2>&1 ||
  fail "apt-get purge"
left=$(find / -xdev \( -path /proc -o -path /sys -o -path /dev -o -path /tmp -o -path /root \
  -o -path /var/cache/apt \) -prune -o -iname '*velkan*' -print)
[[ -z $left ]] || fail "left after purge: $left"
pyc=$(find /usr/lib/python3 -name '*velkan*' 2>/dev/null)
[[ -z $pyc ]] || fail "Python files left after purge: $pyc"
exit $((failures > 0))
EOF

status=0
timeout "${VELKAN_DEBIAN_ROOT_TIMEOUT:-900}" mmdebstrap --variant=minbase --format=null \
  --aptopt='Acquire::Retries "3"' \
  --skip=essential/unlink \
  --setup-hook='mkdir -p "$1"/var/cache/apt/archives/' \
  --setup-hook="sync-in '$cache' /var/cache/apt/archives/" \
  --customize-hook="copy-in '$work/debs' /tmp" \
  --customize-hook='mkdir -p "$1"/tmp/results' \
  --customize-hook='chroot "$1" bash /tmp/debs/check.sh '"$version"'; echo $? >"$1"/tmp/results/status' \
  --customize-hook="sync-out /var/cache/apt/archives '$cache'" \
  --customize-hook="sync-out /tmp/results '$work/results'" \
  "$suite" /dev/null "$mirror" >"$work/mmdebstrap.log" 2>&1 || status=$?

grep -E '^(==|velkan|CJK font|FAILED|[0-9]+ upgraded|Need to get|After this)' "$work/mmdebstrap.log" || true
if ((status != 0)) || [[ $(cat "$work/results/status" 2>/dev/null) != 0 ]]; then
  tail -n 40 "$work/mmdebstrap.log" >&2
  echo "clean Debian root: FAILED (mmdebstrap exit $status; log in $work/mmdebstrap.log)" >&2
  exit 1
fi
echo "clean Debian root: all checks passed in $(($(date +%s) - start)) s (pictures in $work/results)"
