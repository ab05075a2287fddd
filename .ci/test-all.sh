#!/usr/bin/env bash
# Installs what is missing, builds every preset and runs its tests:
#   linux    every tier
#   asan     AddressSanitizer + UndefinedBehaviorSanitizer (benchmarks left out)
#   tsan     ThreadSanitizer (benchmarks left out)
#   windows      the MinGW-w64 build, its programs under Wine (and the
#                installer package, which carries the x86 driver too)
#   windows-x86  the driver for 32-bit hosts (MinGW-w64 i686), its programs
#                under Wine's 32-bit support
# Goes on after a failure, prints each run's CTest summary, and exits
# non-zero when anything failed.
#
# Environment: KORVEX_PRESETS (default "linux asan tsan windows windows-x86"),
# KORVEX_JOBS (default 2).
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

read -r -a presets <<<"${KORVEX_PRESETS:-linux asan tsan windows windows-x86}"
jobs=${KORVEX_JOBS:-2}
logs=$root/build/logs
mkdir -p "$logs"

bash .ci/install-deps.sh || { echo "test-all: installing the dependencies failed" >&2; exit 1; }

# Whatever happens, no Wine process of this run outlives it.
stop_wine() {
  local prefix
  for prefix in build/windows/wineprefix build/windows-x86/wineprefix; do
    if [ -d "$prefix" ]; then
      cmake/wine-env.sh stop "$prefix" >/dev/null 2>&1 || true
    fi
  done
}
trap stop_wine EXIT

failed=0
total_passed=0
total_failed=0
report=()

for preset in "${presets[@]}"; do
  echo
  echo "=== $preset"
  started=$SECONDS

  if ! cmake --preset "$preset" >"$logs/$preset-configure.log" 2>&1; then
    tail -n 40 "$logs/$preset-configure.log"
    report+=("$preset: configure FAILED (build/logs/$preset-configure.log)")
    failed=1
    continue
  fi

  if ! cmake --build --preset "$preset" -j "$jobs" >"$logs/$preset-build.log" 2>&1; then
    grep -E -B2 -A12 'error|FAILED:' "$logs/$preset-build.log" | head -n 150
    report+=("$preset: build FAILED (build/logs/$preset-build.log)")
    failed=1
    continue
  fi
  built=$((SECONDS - started))
  echo "built in ${built} s"

  ctest --preset "$preset" -j "$jobs" 2>&1 | tee "$logs/$preset-test.log"
  status=${PIPESTATUS[0]}
  tested=$((SECONDS - started - built))

  summary=$(grep -E '^[0-9]+% tests passed' "$logs/$preset-test.log" | tail -n 1)
  # Skipped tests count as neither passed nor failed: name them.
  skipped=$(grep -E '^[[:space:]]*[0-9]+ - .* \(Skipped\)' "$logs/$preset-test.log" | awk '{ print $3 }')
  if [[ $summary =~ ([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+) ]]; then
    total_failed=$((total_failed + BASH_REMATCH[1]))
    total_passed=$((total_passed + BASH_REMATCH[2] - BASH_REMATCH[1] - $(grep -c . <<<"$skipped")))
  fi
  [ -n "$summary" ] || summary="no test summary"
  [ -z "$skipped" ] || summary="$summary; skipped: $(echo $skipped)"
  if [ "$status" -ne 0 ]; then
    failed=1
    summary="$summary (ctest exit $status)"
  fi
  report+=("$preset: $summary; build ${built} s, tests ${tested} s")
done

# The fuzz target of the service's device-event parsing, briefly, so that it
# keeps building and running (.ci/fuzz.sh 300 for a longer run).
echo
echo "=== fuzz"
fuzz_started=$SECONDS
if bash .ci/fuzz.sh "${KORVEX_FUZZ_SECONDS:-60}" >"$logs/fuzz.log" 2>&1; then
  report+=("fuzz: no finding in ${KORVEX_FUZZ_SECONDS:-60} s; $((SECONDS - fuzz_started)) s in all")
else
  tail -n 30 "$logs/fuzz.log"
  report+=("fuzz: FAILED (build/logs/fuzz.log, build/fuzz/findings)")
  failed=1
fi

echo
echo "=== summary"
for line in "${report[@]}"; do
  echo "$line"
done
echo "total: $total_passed passed, $total_failed failed (skipped tests are named above)"
exit $failed
