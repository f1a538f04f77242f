#!/usr/bin/env python3
"""A per-chip data generator for `velkan produce --chip-data`.

Derives each chip's 16-byte key as the first 16 bytes of
HMAC-SHA-256(master secret, serial number bytes) and answers it as one
piece at ADDRESS (default 9000). The master secret is read from the file
named by CHIP_DATA_MASTER (hex digits). The result call (VELKAN_PHASE=result)
appends a line to CHIP_DATA_LOG when that is set.
"""
import hashlib
import hmac
import json
import os
import sys


def main():
    request = json.loads(sys.stdin.read() or "{}")
    phase = os.environ.get("VELKAN_PHASE", request.get("phase", "data"))
    if phase == "result":
        log = os.environ.get("CHIP_DATA_LOG")
        if log:
            with open(log, "a") as f:
                f.write(json.dumps({"serialHex": request.get("serialHex"),
                                    "result": request.get("result"),
                                    "dataSha256": request.get("dataSha256")}) + "\n")
        return 0
    serial_hex = os.environ.get("VELKAN_SERIAL_HEX", "")
    if not serial_hex:
        print("chip-data-hmac: the job has no serial numbers", file=sys.stderr)
        return 2
    with open(os.environ["CHIP_DATA_MASTER"]) as f:
        master = bytes.fromhex(f.read().strip())
    key = hmac.new(master, bytes.fromhex(serial_hex), hashlib.sha256).digest()[:16]
    address = os.environ.get("CHIP_DATA_ADDRESS", "9000")
    print(f"{address}:{key.hex().upper()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
