#!/usr/bin/env bash
# The Windows zip (scripts/package-windows): its layout, stripped binaries and
# their version resources.
#   package_test.sh OBJDUMP velkan-<version>-windows-x64.zip VERSION GUI(ON|OFF)
#                   LIBPQ(ON|OFF) LIBSODIUM(ON|OFF)
set -euo pipefail
objdump=$1 zip=$2 version=$3 gui=$4 pq=$5 sodium=$6
if [[ ! -f $zip ]]; then
  echo "SKIP: $zip not made yet (scripts/package-windows makes it)"
  exit 77
fi
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
unzip -q "$zip" -d "$dir"
top=$dir/velkan-$version-windows-x64
failed=0
fail() { echo "FAIL: $*"; failed=1; }

expected=(bin/velkan.exe bin/velkan.dll include/velkan/velkan.h lib/velkan.lib lib/velkan.def
          lib/libvelkan.dll.a lib/cmake/velkan/velkanConfig.cmake README.txt LICENSE.txt)
if [[ $gui == ON ]]; then
  expected+=(bin/velkan-tool.exe bin/Qt6Core.dll bin/Qt6Gui.dll bin/Qt6Widgets.dll
             bin/platforms/qwindows.dll bin/libstdc++-6.dll bin/libgcc_s_seh-1.dll
             bin/libwinpthread-1.dll bin/translations/qtbase_zh_CN.qm)
fi
# PostgreSQL's client library beside the programs; the licences of the
# libraries shipped (libpq) and linked in (libsodium).
if [[ $pq == ON ]]; then expected+=(bin/libpq.dll licenses/libpq.txt); fi
if [[ $sodium == ON ]]; then expected+=(licenses/libsodium.txt); fi
for f in "${expected[@]}"; do
  [[ -f $top/$f ]] || fail "missing $f"
done
# Nothing of the Linux packages.
for f in $(cd "$top" && find . -name '*.py' -o -name '*.pc' -o -name '*.so*'); do
  fail "unexpected $f"
done

# Stripped: no debug sections, no symbol table.
# (The tool's output is read whole: grep -q ending early would fail the pipe.)
while IFS= read -r -d '' f; do
  if grep -q '\.debug_' <<<"$("$objdump" -h "$f")"; then fail "${f#"$top"/} has debug sections"; fi
done < <(find "$top" \( -name '*.exe' -o -name '*.dll' \) -print0)

# Version resources: the product version and each file's own name.
for f in velkan.exe velkan.dll $([[ $gui == ON ]] && echo velkan-tool.exe); do
  texts=$(strings -el "$top/bin/$f")
  grep -qx "$version" <<<"$texts" || fail "$f: no version $version in its resources"
  grep -qx "$f" <<<"$texts" || fail "$f: OriginalFilename missing"
done
if [[ $gui == ON ]] && ! grep -q 'Subsystem.*Windows GUI' <<<"$("$objdump" -p "$top/bin/velkan-tool.exe")"; then
  fail "velkan-tool.exe is not a GUI program"
fi
# The command-line tool, the library and libpq need nothing but Windows' own
# DLLs; libpq.dll is loaded only when a PostgreSQL record is opened, and
# libsodium is inside the programs.
for f in velkan.exe velkan.dll $([[ $pq == ON ]] && echo libpq.dll); do
  dlls=$("$objdump" -p "$top/bin/$f" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z')
  if grep -qE 'libstdc|libgcc|libwinpthread|libpq|libsodium|libssl|libcrypto|zlib|libintl|icu' \
       <<<"$dlls"; then
    fail "$f needs $(echo $dlls)"
  fi
done
((failed == 0)) && echo "the zip's $(cd "$top" && find . -type f | wc -l) files as expected"
exit $failed
