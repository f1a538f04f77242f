#!/bin/sh
# The udev rule must be able to grant access: its "uaccess" tag only works
# when set before systemd's 73-seat-late.rules, and the group gives access
# to logins without a seat.
set -eu
dir=$1
rules=$(ls "$dir"/*-velkan-programmer.rules)
[ "$(printf '%s\n' "$rules" | wc -l)" -eq 1 ] || { echo "expected one rule file: $rules"; exit 1; }
number=$(basename "$rules" | sed 's/-.*//')
[ "$number" -lt 73 ] || { echo "$rules: numbered $number, after 73-seat-late.rules"; exit 1; }
rule=$(grep -v '^#' "$rules" | grep -v '^$')
for part in 'SUBSYSTEM=="hidraw"' 'ATTRS{idVendor}=="0755"' 'ATTRS{idProduct}=="0102"' \
            'TAG+="uaccess"' 'GROUP="plugdev"' 'MODE="0660"'; do
  case $rule in
    *"$part"*) ;;
    *) echo "$rules: missing $part"; exit 1 ;;
  esac
done
echo "$(basename "$rules"): ok"
