#!/bin/sh
# Checks that a shared library exports exactly the functions declared in
# velkan.h. Usage: check_exports.sh LIBRARY HEADER
set -eu
lib=$1
header=$2
expected=$(sed -n 's/^VELKAN_API [^(]*[ *]\([A-Za-z0-9_]*\)(.*/\1/p' "$header" | sort)
actual=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort)
if [ "$expected" != "$actual" ]; then
  echo "exports differ from the header (< header, > library):"
  printf '%s\n' "$expected" >/tmp/velkan_exports_expected.$$
  printf '%s\n' "$actual" | diff /tmp/velkan_exports_expected.$$ - || true
  rm -f /tmp/velkan_exports_expected.$$
  exit 1
fi
echo "$(printf '%s\n' "$actual" | wc -l) exports match the header"
