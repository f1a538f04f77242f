#!/usr/bin/env bash
# Checks that a DLL exports exactly the C API of velkan.h, undecorated:
#   check_exports.sh OBJDUMP velkan.dll velkan.h
set -euo pipefail
objdump=$1 dll=$2 header=$3

expected=$(grep -oE 'VELKAN_API [a-z ]+[ *]+([A-Za-z0-9_]+)\(' "$header" \
             | sed -E 's/.*[ *]([A-Za-z0-9_]+)\($/\1/' | sort)
exported=$("$objdump" -p "$dll" \
             | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' \
             | sed -nE 's/^\s*\[ *[0-9]+\] (.+)$/\1/p' | sort)

if [[ -z $expected ]]; then
  echo "no VELKAN_API functions found in $header" >&2
  exit 1
fi
if [[ $expected != "$exported" ]]; then
  echo "exports of $dll differ from $header (< header, > DLL):" >&2
  diff <(echo "$expected") <(echo "$exported") >&2 || true
  exit 1
fi
echo "$(wc -l <<<"$exported") names exported undecorated"
