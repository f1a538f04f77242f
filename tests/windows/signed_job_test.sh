#!/usr/bin/env bash
# Signed jobs under wine (libsodium linked into velkan.exe): keygen, create,
# sign, verify, and produce --job --trusted-key on two emulated stations
# with feeders up to the job's limit; jobs that were changed, are not signed
# or are signed by another key program nothing (the feeder's trays hold no
# programmed chip, no record is made). The keys and signatures are the ones
# OpenSSL and the Linux build know: a key made by OpenSSL signs here, the
# manifest's signature made here is checked by OpenSSL, and the Linux build
# (when built) verifies the job signed here. Per-chip data generators are
# refused in words.
#   signed_job_test.sh WINE_RUN velkan.exe HEX_FILE LINUX_VELKAN
# LINUX_VELKAN: the Linux build's velkan; when it is not there that check is
# said to be left out.
set -euo pipefail
wine_run=$1 velkan=$2 hex=$3 linux_velkan=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
winpath() { local p; p=$(realpath -m "$1"); echo "Z:${p//\//\\}"; }
run() { timeout 300 "$wine_run" "$velkan" "$@" </dev/null; }
failed=0
fail() { echo "FAIL: $*"; failed=1; }
# produce on N emulated stations with feeders, emulator state in $work/DIR.
fed() {
  local dir=$1 stations=$2
  shift 2
  run "--emulator=$(winpath "$work/$dir")" --emulators "$stations" --emulator-feeder \
      --emulator-tray-serial 0x9FF0:4 produce --next auto "$@"
}
# Chips of emulator folder DIR that were programmed: tray lines of chips
# that left a socket with the pass LED or a serial number, and a chip still
# in a socket whose flash is not blank.
programmed() {
  find "$work/$1" -name tray.jsonl -exec cat {} + 2>/dev/null |
    grep -E '"led":2|"serialHex":"0000' || true
  find "$work/$1" -name flash.bin 2>/dev/null | while IFS= read -r f; do
    if (($(LC_ALL=C tr -d '\377' <"$f" | wc -c) > 0)); then echo "$f is not blank"; fi
  done
}

out=$(run job keygen owner.pem owner.pub 2>&1) || fail "job keygen: $out"
grep -q 'BEGIN PRIVATE KEY' owner.pem && grep -q 'BEGIN PUBLIC KEY' owner.pub \
  || fail "job keygen wrote no PEM keys"
id=$(run job create lot.vjob "$(winpath "$hex")" --name lot --serial-at 9FF0 \
       --serial-start 00000100 --count-limit 4 2>&1 | tr -d '\r') || fail "job create: $id"
[[ $id =~ ^[0-9a-f]{64}$ ]] || fail "job create printed no id: $id"
out=$(run job sign lot.vjob --key owner.pem 2>&1) || fail "job sign: $out"
[[ $out == "signed $id by "* ]] || fail "job sign said: $out"
out=$(run job verify lot.vjob --trusted-key owner.pub 2>&1) || fail "job verify: $out"
[[ $out == "ok $id signed by "* ]] || fail "job verify said: $out"

# Up to the job's limit: four chips passed on two stations.
out=$(fed emu 2 --job lot.vjob --trusted-key owner.pub --log rec.db 2>&1) \
  || fail "produce --job: $out"
[[ $out == *"job limit reached"* ]] || fail "produce --job said: $out"
out=$(run log rec.db 2>&1 | tr -d '\r') || fail "log: $out"
[[ $out == *"total: passed 4  failed 0"* ]] || fail "log after the job: $out"
[[ -n $(programmed emu) ]] || fail "the trays show no programmed chip after a good job"

# The manifest signed here, checked by OpenSSL: the last line signs the
# SHA-256 of the lines above.
run log rec.db --manifest --job lot.vjob --key owner.pem >manifest.jsonl 2>manifest.err \
  || fail "log --manifest: $(cat manifest.err)"
tr -d '\r' <manifest.jsonl >m && mv m manifest.jsonl
head -n -1 manifest.jsonl >body
python3 - <<'PY' || fail "the manifest's last line is not its signature"
import hashlib, json
lines = open("manifest.jsonl").read().splitlines()
sig = json.loads(lines[-1])
assert sig["algorithm"] == "ed25519" and len(lines) == 5, lines
open("sig", "wb").write(bytes.fromhex(sig["signature"]))
open("digest", "wb").write(hashlib.sha256(open("body", "rb").read()).digest())
PY
verify() { openssl pkeyutl -verify -pubin -inkey owner.pub -rawin -in digest -sigfile sig; }
verify >/dev/null 2>&1 || fail "OpenSSL does not verify the manifest signed under wine"
python3 -c 'import sys; d = bytearray(open("digest", "rb").read()); d[0] ^= 1; open("digest", "wb").write(d)'
if verify >/dev/null 2>&1; then fail "OpenSSL verifies a changed manifest"; fi

# The Linux build checks the job signed here.
if [[ -x $linux_velkan ]]; then
  out=$("$linux_velkan" job verify lot.vjob --trusted-key owner.pub 2>&1) \
    || fail "the Linux build does not verify the job signed under wine: $out"
  [[ $out == "ok $id signed by "* ]] || fail "the Linux build's job verify said: $out"
else
  echo "the Linux build's velkan ($linux_velkan) is not built: its check of the job left out"
fi

# Refused jobs: one HEX byte changed after signing; signed by a key OpenSSL
# made (another key); not signed at all.
python3 - <<'PY'
text = open("lot.vjob", encoding="utf-8", newline="").read()
at = text.index(":10") + 10
open("edited.vjob", "w", encoding="utf-8", newline="").write(
    text[:at] + ("1" if text[at] == "0" else "0") + text[at + 1:])
PY
openssl genpkey -algorithm ed25519 -out other.pem 2>/dev/null
run job create foreign.vjob "$(winpath "$hex")" --serial-at 9FF0 --serial-start 00000100 \
  >/dev/null 2>&1 || fail "job create foreign.vjob"
out=$(run job sign foreign.vjob --key other.pem 2>&1) || fail "job sign with OpenSSL's key: $out"
run job create unsigned.vjob "$(winpath "$hex")" >/dev/null 2>&1 || fail "job create unsigned.vjob"
for c in "edited.vjob:changed after it was made" "foreign.vjob:signed by another key" \
         "unsigned.vjob:not signed"; do
  job=${c%%:*} says=${c#*:}
  code=0
  out=$(fed "emu-$job" 1 --job "$job" --trusted-key owner.pub --log "refused-$job.db" 2>&1) \
    || code=$?
  ((code == 2)) || fail "$job: exit status $code, expected 2: $out"
  [[ $out == *"$says"*"nothing was programmed"* ]] || fail "$job said: $out"
  [[ -z $(programmed "emu-$job") ]] || fail "$job: chips were programmed: $(programmed "emu-$job")"
  [[ ! -e refused-$job.db ]] || fail "$job: a record was made"
done
if run job verify edited.vjob >/dev/null 2>&1; then fail "job verify accepts edited.vjob"; fi

# Per-chip data generators: refused in words, before anything is sent.
code=0
out=$(fed emu-data 1 "$(winpath "$hex")" --chip-data "python3 gen.py" --log data.db 2>&1) \
  || code=$?
((code == 2)) || fail "--chip-data: exit status $code, expected 2: $out"
[[ $out == *"--chip-data: per-chip data generators are not available in this build"* ]] \
  || fail "--chip-data said: $out"
[[ -z $(programmed emu-data) && ! -e data.db ]] || fail "--chip-data: something was programmed"
out=$(run job create data.vjob "$(winpath "$hex")" --chip-data "python3 gen.py" 2>&1) \
  || fail "job create --chip-data: $out"
[[ $out == *"note: this build cannot run the job's --chip-data generator"* ]] \
  || fail "job create --chip-data said: $out"
code=0
out=$(fed emu-data 1 --job data.vjob --log data.db 2>&1) || code=$?
((code == 2)) || fail "a job with chip data: exit status $code, expected 2: $out"
[[ $out == *"the job's --chip-data generator: per-chip data generators are not available"* ]] \
  || fail "a job with chip data said: $out"

((failed == 0)) && echo "signed jobs made, checked and run under wine; refused ones programmed nothing"
exit $failed
