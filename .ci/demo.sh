#!/usr/bin/env bash
# Installs what is missing, builds the Linux preset and runs the demo on the
# simulated machine.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

bash .ci/install-deps.sh linux
cmake --preset linux
cmake --build --preset linux --target korvex-sim -j "${KORVEX_JOBS:-2}"
# Arguments go to the demo, e.g. --model eight --rate 96000 --seconds 10 --wav out.wav
exec build/linux/tools/korvex-sim/korvex-sim stream "$@"
