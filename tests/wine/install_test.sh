#!/usr/bin/env bash
# KorvexSetup-<version>.msi installed under Wine's msiexec, on a fresh prefix
# of its own: silent install, everything read back (install_check_test.exe),
# upgrade to a newer package, downgrade refused, silent uninstall leaving
# nothing behind.
#
#   install_test.sh PREFIX CHECK_EXE PACKAGE VERSION NEWER_PACKAGE NEWER_VERSION [HOST32_EXE]
#
# The installed host tool, KorvexCheck.exe, must find the installed driver
# through HKLM\SOFTWARE\ASIO and create it through COM, as a host does.
# HOST32_EXE is the x86 korvex-sim.exe, a 32-bit host: the same through the
# 32-bit view, from the x86 DLL under Program Files (x86). A machine that
# cannot run 32-bit programs skips that step and says so.
#
# Every Wine command gets </dev/null and writes to a file: Wine's helper
# processes inherit the standard streams of whoever starts them, and CTest
# reads ours through a pipe. The files are shown afterwards.
set -u
[ $# -ge 6 ] && [ $# -le 7 ] || { echo "usage: install_test.sh PREFIX CHECK_EXE PACKAGE VERSION NEWER_PACKAGE NEWER_VERSION [HOST32_EXE]" >&2; exit 2; }
host32=${7:+$(realpath "$7")}
prefix=$(realpath -m "$1") check=$(realpath "$2")
old_msi=$(realpath "$3") old_version=$4
new_msi=$(realpath "$5") new_version=$6

WINE=${KORVEX_WINE:-/usr/lib/wine/wine64}
WINE32=${KORVEX_WINE32:-/usr/lib/wine/wine}
WINESERVER=${KORVEX_WINESERVER:-/usr/lib/wine/wineserver}
export WINEPREFIX=$prefix WINEDEBUG=-all
logs=$prefix.logs

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok:   $*"; }
step() { echo; echo "--- $* ($((SECONDS - started)) s)"; }
started=$SECONDS

winpath() { echo "Z:${1//\//\\}"; }

# Runs a Wine program with its output in $logs/<name>.out; returns its exit
# code (a Windows exit code's low byte).
wine_run() {
  local name=$1
  shift
  "$WINE" "$@" </dev/null >"$logs/$name.out" 2>&1
}

stop_server() { "$WINESERVER" -k </dev/null >/dev/null 2>&1; "$WINESERVER" -w </dev/null >/dev/null 2>&1; }
trap stop_server EXIT
trap "exit 1" TERM INT

# msiexec with a verbose log; expected exit code as the first argument.
msiexec() {
  local name=$1 expected=$2
  shift 2
  wine_run "$name" msiexec "$@" /qn /l*v "$(winpath "$logs/$name.msilog")"
  local rc=$?
  if [ "$rc" -eq "$expected" ]; then pass "msiexec $* exited $rc"
  else fail "msiexec $* exited $rc, expected $expected (log $logs/$name.msilog)"; fi
}

# install_check_test with a filter; its output is shown.
check() {
  local name=$1
  shift
  wine_run "$name" "$check" "$@"
  local rc=$?
  sed 's/^/    /' "$logs/$name.out"
  [ "$rc" -eq 0 ] && pass "$name" || fail "$name (exit $rc)"
}

program_files=$prefix/drive_c/Program\ Files
installed=$program_files/SAVANTIX/Lyrenta\ Vazozo
program_files_x86=$prefix/drive_c/Program\ Files\ \(x86\)
installed_x86=$program_files_x86/SAVANTIX/Lyrenta\ Vazozo

# The installed files are byte for byte those of the given package.
same_files_as() {
  local msi=$1 unpacked=$logs/unpacked-$(basename "$1")
  rm -rf "$unpacked"
  mkdir -p "$unpacked"
  msiextract -C "$unpacked" "$msi" >/dev/null 2>&1 || { fail "msiextract $msi"; return; }
  local name
  for name in KorvexASIO.dll KorvexS.exe KorvexCheck.exe; do
    if cmp -s "$installed/$name" "$unpacked/SAVANTIX/Lyrenta Vazozo/$name"; then
      pass "installed $name is the one of $(basename "$msi")"
    else
      fail "installed $name is not the one of $(basename "$msi")"
    fi
  done
  if cmp -s "$installed_x86/KorvexASIO.dll" "$unpacked/Program Files/SAVANTIX/Lyrenta Vazozo/KorvexASIO.dll"; then
    pass "installed x86 KorvexASIO.dll (Program Files (x86)) is the one of $(basename "$msi")"
  else
    fail "installed x86 KorvexASIO.dll (Program Files (x86)) is not the one of $(basename "$msi")"
  fi
}

# A host finds the installed driver through HKLM\SOFTWARE\ASIO and creates it
# through COM: korvex-sim.exe probe, of either architecture (no card here:
# "not present").
host_probe() {
  local name=$1 exe=$2 loader=$3 rc
  "$loader" "$exe" probe --driver "SAVANTIX Lyrenta Vazozo" </dev/null >"$logs/$name.out" 2>&1
  rc=$?
  sed 's/^/    /' "$logs/$name.out"
  if [ "$rc" -eq 0 ] && grep -q "SAVANTIX Lyrenta Vazozo not present" "$logs/$name.out"; then
    pass "$name: $(basename "$exe") probe found the installed driver and created it (no card: not present)"
  else
    fail "$name: $(basename "$exe") probe of the installed driver (exit $rc)"
  fi
}

# Wine's 32-bit loader is a 32-bit Linux program; some kernels do not run those.
runs_32bit() { "$WINE32" --version </dev/null >/dev/null 2>&1; [ $? -ne 126 ]; }

service_pid() { sed -n 's/.*service KorvexS: state 4 pid \([0-9]*\).*/\1/p' "$logs/$1.out"; }

step "fresh prefix $prefix"
stop_server
rm -rf "$prefix" "$logs"
mkdir -p "$logs"
WINEDLLOVERRIDES='mscoree=d;mshtml=d' wine_run wineboot wineboot -i
"$WINESERVER" -w </dev/null >/dev/null 2>&1
[ -f "$prefix/system.reg" ] || { fail "wineboot -i did not create the prefix"; exit 1; }
# One server for the whole test; the services live as long as it does.
"$WINESERVER" -p </dev/null >/dev/null 2>&1
wine_run wineboot-session wineboot

step "install $old_version"
msiexec install-old 0 /i "$(winpath "$old_msi")"
check installed-old --gtest_filter='Installed.*:AsioHost.*' "$old_version"
same_files_as "$old_msi"
old_pid=$(service_pid installed-old)
host_probe host-probe "$installed/KorvexCheck.exe" "$WINE"
if [ -n "$host32" ]; then
  if runs_32bit; then
    host_probe host32-probe "$host32" "$WINE32"
  else
    echo "SKIPPED: the 32-bit host's probe: this machine does not run 32-bit programs ($WINE32: exec format error)"
  fi
fi

step "upgrade to $new_version"
msiexec upgrade 0 /i "$(winpath "$new_msi")"
check upgraded --gtest_filter='Installed.*:AsioHost.*' "$new_version"
same_files_as "$new_msi"
new_pid=$(service_pid upgraded)
if [ -n "$old_pid" ] && [ -n "$new_pid" ] && [ "$old_pid" != "$new_pid" ]; then
  pass "service restarted by the upgrade (pid $old_pid, now $new_pid)"
else
  fail "service not restarted by the upgrade (pid '$old_pid', then '$new_pid')"
fi

step "downgrade to $old_version refused"
# ERROR_INSTALL_FAILURE 1603; the shell sees its low byte.
msiexec downgrade $((1603 % 256)) /i "$(winpath "$old_msi")"
# Wine's log leaves out the launch condition's text; it shows which
# condition refused: the newer product found by the upgrade table.
grep -q '^Property(S): WIX_DOWNGRADE_DETECTED = {' "$logs/downgrade.msilog" \
  && pass "refused because the newer product was detected ($(sed -n 's/^Property(S): WIX_DOWNGRADE_DETECTED = //p' "$logs/downgrade.msilog" | tr -d '\r'))" \
  || fail "WIX_DOWNGRADE_DETECTED not set in $logs/downgrade.msilog"
check after-downgrade --gtest_filter='Installed.*' "$new_version"
same_files_as "$new_msi"

step "uninstall"
msiexec uninstall 0 /x "$(winpath "$new_msi")"
check removed --gtest_filter='Removed.*'
for folder in "$program_files/SAVANTIX" "$program_files_x86/SAVANTIX"; do
  if [ -e "$folder" ]; then
    fail "left behind: $(find "$folder" | tr '\n' ' ')"
  else
    pass "nothing at ${folder#"$prefix/drive_c/"}"
  fi
done

step "done"
stop_server
echo "wall time $((SECONDS - started)) s"
if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed; logs in $logs"
  exit 1
fi
# The prefix is several hundred megabytes and of no use once the test passed.
rm -rf "$prefix"
echo "all checks passed"
