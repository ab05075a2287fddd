#!/usr/bin/env bash
# Builds the device-event fuzz target (preset "fuzz": clang, libFuzzer,
# AddressSanitizer, UndefinedBehaviorSanitizer) and runs it for the given
# number of seconds (default 60). Exits non-zero when it finds a crash, a
# leak or undefined behaviour; the input that did it is left in build/fuzz/findings.
#
#   .ci/fuzz.sh [seconds]
set -euo pipefail

seconds=${1:-60}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "${KORVEX_JOBS:-2}"

corpus=build/fuzz/corpus/device_event
findings=build/fuzz/findings
mkdir -p "$corpus" "$findings"
# Seeds that reach the list: a card's arrival, a query-remove of the open
# card's handle, an interface removal of the unopened card, and a name.
python3 - "$corpus" <<'PY'
import struct, sys, os
def name(text): return text.encode('utf-32-le') + b'\0\0\0\0'
def interface(text):
    body = struct.pack('<III', 0, 5, 0) + bytes(16) + name(text)
    return struct.pack('<I', len(body)) + body[4:]
guid = '#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\wave'
seeds = {
    'arrival': bytes([0]) + interface('\\\\?\\pci#ven_1412&dev_1724&subsys_24011722#4&2a1b&0&00f0' + guid),
    'query-remove': bytes([1]) + struct.pack('<III4xQQ16sl4s', 56, 6, 0, 0x7fff0003, 0, bytes(16), 0, bytes(4)),
    'remove-complete': bytes([4]) + interface('\\\\?\\PCI#VEN_1412&DEV_1724&SUBSYS_24021722#4&2A1B&0&00E8' + guid),
    'name': bytes([0x80]) + name('\\\\?\\PCI#VEN_1412&DEV_1724&SUBSYS_24011721#4&2A1B&0&00E0' + guid)[:-4],
}
for key, data in seeds.items():
    with open(os.path.join(sys.argv[1], 'seed-' + key), 'wb') as f:
        f.write(data)
PY
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
build/fuzz/tests/fuzz/device_event_fuzz -max_total_time="$seconds" -max_len=4096 -timeout=10 \
  -artifact_prefix="$findings/" -print_final_stats=1 "$corpus" </dev/null
