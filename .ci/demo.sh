#!/usr/bin/env bash
# Installs what is missing, builds the Linux preset and runs the demo on the
# simulated machine.
#
# With --wine: builds the Windows preset instead and runs the demo through the
# real driver DLL under Wine: the test build with the simulated card inside,
# registered in the build's Wine prefix as a host finds a driver; then
# korvex-sim.exe probe (found through the registry and COM) and
# korvex-sim.exe stream through the same DLL, with its summary.
#
# With --wine --x86: the same with the 32-bit build (windows-x86 preset): the
# 32-bit DLL registered in the 32-bit view of the registry, where 32-bit hosts
# look, and the 32-bit korvex-sim.exe under Wine's 32-bit support.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

if [ "${1:-}" != --wine ]; then
  bash .ci/install-deps.sh linux
  cmake --preset linux
  cmake --build --preset linux --target korvex-sim -j "${KORVEX_JOBS:-2}"
  # Arguments go to the demo, e.g. --model eight --rate 96000 --seconds 10 --wav out.wav
  exec build/linux/tools/korvex-sim/korvex-sim stream "$@"
fi
shift
preset=windows view=64
if [ "${1:-}" = --x86 ]; then
  preset=windows-x86 view=32
  shift
fi

# KORVEX_WINE_BUILD: an already configured Windows build directory to use
# instead of the preset's.
build=${KORVEX_WINE_BUILD:-build/$preset}
if [ -z "${KORVEX_WINE_BUILD:-}" ]; then
  bash .ci/install-deps.sh all
  cmake --preset "$preset"
fi
cmake --build "$build" --target korvex-sim KorvexASIO-simcard -j "${KORVEX_JOBS:-2}"

prefix=$root/$build/wineprefix
dll=$root/$build/tests/wine/simcard/KorvexASIO-simcard.dll
wine_env=$root/cmake/wine-env.sh
out=$root/$build/demo-wine
mkdir -p "$out"
"$wine_env" setup "$prefix" >/dev/null
trap '"$wine_env" stop "$prefix" >/dev/null' EXIT
tests/wine/simcard/register.sh "$wine_env" "$prefix" "$dll" "SAVANTIX Lyrenta Six" "$view"

# Wine programs write to files, never to a pipe (their helpers would keep it open).
echo
echo "== korvex-sim.exe probe $*"
"$wine_env" run "$prefix" "$root/$build/tools/korvex-sim/korvex-sim.exe" probe "$@" </dev/null >"$out/probe.txt" 2>&1 ||
  { cat "$out/probe.txt"; exit 1; }
cat "$out/probe.txt"

# The stream takes the card options of the probe's arguments.
stream_args=()
while [ $# -gt 0 ]; do
  case $1 in
    --model | --rate | --buffer-ms) stream_args+=("$1" "${2:-}"); shift 2 || shift ;;
    --model=* | --rate=* | --buffer-ms=*) stream_args+=("$1"); shift ;;
    *) shift ;;
  esac
done
wav=$out/stream.wav
echo
echo "== korvex-sim.exe stream --seconds 5 ${stream_args[*]}"
"$wine_env" run "$prefix" "$root/$build/tools/korvex-sim/korvex-sim.exe" stream --seconds 5 \
  --wav "Z:${wav//\//\\}" ${stream_args[@]+"${stream_args[@]}"} </dev/null >"$out/stream.txt" 2>&1 || status=$?
cat "$out/stream.txt"
[ "${status:-0}" -eq 0 ] || exit 1
