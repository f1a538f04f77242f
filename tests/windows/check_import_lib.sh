#!/usr/bin/env bash
# Checks the Microsoft-style import library of velkan.dll: it names every C
# function of velkan.h (the 29 of the programmer's original DLL and the
# Velkan* additions), each as a plain symbol and as __imp_<name>, from
# velkan.dll, in the short import format of Microsoft's lib.exe.
#   check_import_lib.sh NM velkan.lib velkan.h
set -euo pipefail
nm=$1 lib=$2 header=$3

expected=$(grep -oE 'VELKAN_API [a-z ]+[ *]+([A-Za-z0-9_]+)\(' "$header" \
             | sed -E 's/.*[ *]([A-Za-z0-9_]+)\($/\1/' | sort)
symbols=$("$nm" "$lib" 2>/dev/null)
imported=$(sed -nE 's/^.* T ([A-Za-z0-9_]+)$/\1/p' <<<"$symbols" | grep -v "^__imp_" | sort -u)
pointers=$(sed -nE 's/^.* [DT] __imp_([A-Za-z0-9_]+)$/\1/p' <<<"$symbols" | sort -u)

if [[ $expected != "$imported" || $expected != "$pointers" ]]; then
  echo "velkan.lib differs from $header (< header, > library):" >&2
  diff <(echo "$expected") <(echo "$imported") >&2 || true
  diff <(echo "$expected") <(echo "$pointers") >&2 || true
  exit 1
fi
# Each member names the DLL it imports from.
if ! grep -aq 'velkan\.dll' "$lib"; then
  echo "velkan.lib does not name velkan.dll" >&2
  exit 1
fi
echo "$(wc -l <<<"$expected") functions in velkan.lib" \
     "($(grep -c '^Velkan' <<<"$expected") of them Velkan* additions):"
echo $expected
