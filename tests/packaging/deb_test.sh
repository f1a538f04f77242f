#!/usr/bin/env bash
# Builds the Debian packages of this build with cpack, unpacks them into a
# scratch root and uses them from there as a user would: the tools' versions,
# the library's SONAME link, a C program built with find_package(velkan) and
# one built with pkg-config, the Python package, the manual pages and the
# bash completion; lintian, when installed, must have nothing to say beyond
# the overrides the packages carry.
#
# Usage: deb_test.sh BUILD_DIR SOURCE_DIR VERSION LIBRARY_VERSION
# With VELKAN_TEST_DPKG_INSTALL=1 and root (CI machines), the packages are
# also installed with dpkg -i, tried and removed again.
set -euo pipefail

build=$1 source=$2 version=$3 library_version=$4
work=$build/tests/packaging/deb-test
root=$work/root
rm -rf "$work"
mkdir -p "$work" "$root"

failures=0
fail() {
  echo "FAILED: $*" >&2
  failures=$((failures + 1))
}
expect_eq() { # what actual expected
  if [[ "$2" != "$3" ]]; then fail "$1: got '$2', expected '$3'"; fi
}

# ---- Packages ------------------------------------------------------------
(cd "$work" && cpack -G DEB -B "$work/out" --config "$build/CPackConfig.cmake" >"$work/cpack.log" 2>&1) ||
  {
    cat "$work/cpack.log" >&2
    exit 1
  }
arch=$(dpkg --print-architecture)
declare -A deb
packages=(velkan libvelkan2 libvelkan-dev python3-velkan)
[[ -x "$build/bin/velkan-tool" ]] && packages+=(velkan-tool)
for package in "${packages[@]}"; do
  deb[$package]=$(ls "$work/out/${package}_${version}-1_"*.deb 2>/dev/null || true)
  if [[ -z "${deb[$package]}" ]]; then
    fail "no package $package"
    continue
  fi
  dpkg-deb -x "${deb[$package]}" "$root"
done
((failures == 0)) || exit 1

expect_eq "libvelkan-dev depends" "$(dpkg-deb -f "${deb[libvelkan-dev]}" Depends)" \
  "libvelkan2 (= $version-1)"
[[ "$(dpkg-deb -f "${deb[python3-velkan]}" Depends)" == *"libvelkan2 (>= $version)"* ]] ||
  fail "python3-velkan does not depend on libvelkan2"
[[ "$(dpkg-deb -f "${deb[python3-velkan]}" Architecture)" == all ]] || fail "python3-velkan not arch all"
expect_eq "libvelkan2 shlibs" "$(dpkg-deb --ctrl-tarfile "${deb[libvelkan2]}" | tar -xOf - ./shlibs)" \
  "libvelkan 2 libvelkan2 (>= $version-1)"
dpkg-deb --ctrl-tarfile "${deb[libvelkan2]}" | tar -xOf - ./triggers | grep -qx "activate-noawait ldconfig" ||
  fail "libvelkan2 has no ldconfig trigger"
expect_eq "libvelkan2 Multi-Arch" "$(dpkg-deb -f "${deb[libvelkan2]}" Multi-Arch)" same
symbols=$(dpkg-deb --ctrl-tarfile "${deb[libvelkan2]}" | tar -xOf - ./symbols)
expect_eq "symbols file's first line" "$(head -n 1 <<<"$symbols")" "libvelkan.so.2 libvelkan2 #MINVER#"
expect_eq "symbols listed" "$(sed -n 's/^ \([A-Za-z0-9_]*\)@Base .*/\1/p' <<<"$symbols" | sort)" \
  "$(sed -n 's/^VELKAN_API [^(]*[ *]\([A-Za-z0-9_]*\)(.*/\1/p' "$source/include/velkan/velkan.h" | sort)"
# Installed-Size as dpkg counts it: KiB rounded up per file, 1 per other entry.
for package in "${packages[@]}"; do
  counted=$(dpkg-deb --fsys-tarfile "${deb[$package]}" | tar -tvf - |
    awk '$1 ~ /^-/ {kib += int(($3 + 1023) / 1024); next} $6 != "./" {kib += 1} END {print kib}')
  expect_eq "$package Installed-Size" "$(dpkg-deb -f "${deb[$package]}" Installed-Size)" "$counted"
done
# The command-line package is headless; the desktop one brings a CJK font.
depends=$(dpkg-deb -f "${deb[velkan]}" Depends)
[[ "$depends" != *qt* && "$depends" != *libgl* ]] || fail "velkan depends on '$depends'"
[[ -z "$(dpkg-deb -c "${deb[velkan]}" | grep -E 'velkan-tool|applications|icons')" ]] ||
  fail "velkan holds the desktop application"
if [[ -n "${deb[velkan-tool]:-}" ]]; then
  depends=$(dpkg-deb -f "${deb[velkan-tool]}" Depends)
  [[ "$depends" == *"velkan (= $version-1)"* && "$depends" == *"fonts-wqy-microhei | fonts-noto-cjk"* ]] ||
    fail "velkan-tool depends on '$depends'"
fi
# python3-velkan byte-compiles and cleans up through python3's tools.
for script in postinst:py3compile prerm:py3clean; do
  dpkg-deb --ctrl-tarfile "${deb[python3-velkan]}" | tar -xOf - "./${script%%:*}" 2>/dev/null |
    grep -q "${script#*:} -p python3-velkan" || fail "python3-velkan's ${script%%:*} does not run ${script#*:}"
done

# ---- Tools ---------------------------------------------------------------
expect_eq "velkan --version" "$("$root/usr/bin/velkan" --version)" "velkan $version"
if [[ -x "$root/usr/bin/velkan-tool" ]]; then
  expect_eq "velkan-tool --help" "$("$root/usr/bin/velkan-tool" --help | head -n 1)" \
    "velkan-tool $version (VELKAN Tool V$version)"
  expect_eq "velkan-tool --version (no display)" \
    "$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/usr/bin/velkan-tool" --version 2>&1)" \
    "velkan-tool $version"
  for file in usr/share/applications/velkan-tool.desktop \
    usr/share/icons/hicolor/scalable/apps/velkan-tool.svg usr/share/man/man1/velkan-tool.1.gz; do
    [[ -f "$root/$file" ]] || fail "missing /$file"
  done
fi
ls "$root"/usr/lib/udev/rules.d/*velkan*.rules >/dev/null 2>&1 || fail "no udev rule"

# ---- Library and SDK -----------------------------------------------------
libdir=$(dirname "$(find "$root/usr/lib" -name "libvelkan.so.2" | head -n 1)")
expect_eq "libvelkan.so.2 link" "$(readlink "$libdir/libvelkan.so.2")" "libvelkan.so.$library_version"
expect_eq "libvelkan.so link" "$(readlink "$libdir/libvelkan.so")" "libvelkan.so.2"
expect_eq "SONAME" "$(objdump -p "$libdir/libvelkan.so.$library_version" | awk '/SONAME/ {print $2}')" \
  "libvelkan.so.2"
[[ "$libdir" == "$root/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)" ]] ||
  fail "library not in the multiarch folder: $libdir"

# find_package(velkan CONFIG) from the scratch root, with the README's program.
consumer=$work/consumer
if cmake -S "$source/examples/c-consumer" -B "$consumer" -G Ninja -DCMAKE_PREFIX_PATH="$root/usr" \
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >"$work/consumer.log" 2>&1 &&
  cmake --build "$consumer" >>"$work/consumer.log" 2>&1; then
  out=$(LD_LIBRARY_PATH="$libdir" "$consumer/velkan-firmware" --emulator) || fail "consumer failed"
  [[ "$out" == "firmware VK-PROG"* ]] || fail "consumer printed '$out'"
  # The program finds libvelkan.so.2 by its SONAME.
  objdump -p "$consumer/velkan-firmware" | grep -q "NEEDED *libvelkan.so.2" || fail "consumer's NEEDED"
else
  cat "$work/consumer.log" >&2
  fail "the find_package consumer does not build"
fi
# An older major version is refused.
mkdir -p "$work/major"
printf 'cmake_minimum_required(VERSION 3.16)\nproject(m NONE)\nfind_package(velkan 3 CONFIG REQUIRED)\n' \
  >"$work/major/CMakeLists.txt"
if cmake -S "$work/major" -B "$work/major/build" -DCMAKE_PREFIX_PATH="$root/usr" >/dev/null 2>&1; then
  fail "find_package(velkan 3) accepted version $version"
fi

# pkg-config: plain paths under /usr, used here through the scratch root as
# a sysroot.
multiarch=${libdir##*/}
expect_eq "velkan.pc" "$(grep -E '^(prefix|libdir|includedir)=' "$libdir/pkgconfig/velkan.pc" | tr '\n' ' ')" \
  "prefix=/usr libdir=\${prefix}/lib/$multiarch includedir=\${prefix}/include "
pc="env PKG_CONFIG_PATH=$libdir/pkgconfig PKG_CONFIG_LIBDIR=/nonexistent PKG_CONFIG_SYSROOT_DIR=$root
  PKG_CONFIG_ALLOW_SYSTEM_CFLAGS=1 PKG_CONFIG_ALLOW_SYSTEM_LIBS=1 pkg-config"
expect_eq "pkg-config --modversion" "$($pc --modversion velkan)" "$version"
flags=$($pc --cflags --libs velkan | xargs)
expect_eq "pkg-config flags" "$flags" "-I$root/usr/include -L$root/usr/lib/$multiarch -lvelkan"
# shellcheck disable=SC2086
if cc -o "$work/pc-consumer" "$source/examples/c-consumer/main.c" $flags 2>"$work/pc.log"; then
  out=$(LD_LIBRARY_PATH="$libdir" "$work/pc-consumer" --emulator) || fail "pkg-config consumer failed"
  [[ "$out" == "firmware VK-PROG"* ]] || fail "pkg-config consumer printed '$out'"
else
  cat "$work/pc.log" >&2
  fail "the pkg-config consumer does not build"
fi

# ---- Python --------------------------------------------------------------
python=/usr/bin/python3
[[ -x $python ]] || python=python3
out=$(cd "$work" && LD_LIBRARY_PATH="$libdir" PYTHONPATH="$root/usr/lib/python3/dist-packages" \
  PYTHONDONTWRITEBYTECODE=1 "$python" -c '
import velkan
velkan.use_emulator()
with velkan.Programmer() as p:
    print(velkan.__file__.split("/usr/")[-1], p.i2c_command(0xA0, bytes.fromhex("07000000"), 2).hex())
') || fail "the Python package does not work"
expect_eq "python" "$out" "lib/python3/dist-packages/velkan/__init__.py 9000"
out=$(cd "$work" && PYTHONPATH="$root/usr/lib/python3/dist-packages" PYTHONDONTWRITEBYTECODE=1 "$python" -c '
import importlib.metadata as m, velkan
print(velkan.__version__, m.version("velkan"))') || fail "the Python package's version"
expect_eq "python version" "$out" "$version $version"

# ---- Manual pages and completion ------------------------------------------
# Without warnings in a UTF-8 locale and outside one (where the Chinese
# characters become "?" and a note names the locale).
for page in "$root"/usr/share/man/man1/*.1.gz; do
  warnings=$(zcat "$page" | LC_ALL=C.UTF-8 groff -man -ww -z -K utf8 -Tutf8 2>&1)
  [[ -z "$warnings" ]] || fail "$(basename "$page"): $warnings"
  text=$(zcat "$page" | LC_ALL=C preconv -e UTF-8 | LC_ALL=C groff -man -ww -Tascii 2>"$work/warnings")
  [[ ! -s "$work/warnings" ]] || fail "$(basename "$page") in ASCII: $(cat "$work/warnings")"
  [[ "$(tr -s ' \n' '  ' <<<"$text")" == *"in a UTF-8 locale"* ]] || fail "$(basename "$page") in ASCII does not name the locale"
done
completion=$root/usr/share/bash-completion/completions/velkan
[[ -f "$completion" ]] || fail "no bash completion"
if [[ -f "$completion" ]]; then
  words=$(bash -c 'source "$1"; COMP_WORDS=(velkan pro); COMP_CWORD=1; _velkan; echo "${COMPREPLY[*]}"' _ "$completion")
  expect_eq "completion of 'velkan pro'" "$words" "program produce"
fi

# ---- lintian (informational and pedantic tags too) -------------------------
if command -v lintian >/dev/null; then
  findings=$(lintian --info --pedantic "${deb[@]}" 2>/dev/null | grep -E '^[EWIP]:' || true)
  [[ -z "$findings" ]] || fail "lintian: $findings"
else
  echo "lintian not installed: left out"
fi

# ---- dpkg -i (CI, as root) ------------------------------------------------
if [[ "${VELKAN_TEST_DPKG_INSTALL:-0}" == 1 && $(id -u) == 0 ]]; then
  dpkg -i "${deb[@]}" >"$work/dpkg.log" 2>&1 || {
    cat "$work/dpkg.log" >&2
    fail "dpkg -i"
  }
  expect_eq "installed velkan --version" "$(/usr/bin/velkan --version)" "velkan $version"
  dpkg -r velkan-tool velkan python3-velkan libvelkan-dev libvelkan2 >>"$work/dpkg.log" 2>&1 || fail "dpkg -r"
fi

if ((failures > 0)); then
  echo "$failures failure(s)" >&2
  exit 1
fi
echo "packages of $version: all checks passed"
