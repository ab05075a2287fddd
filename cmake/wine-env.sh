#!/usr/bin/env bash
# The Wine side of the Windows tests: one prefix per build directory and one
# persistent Wine server for a whole test run.
#
#   wine-env.sh setup PREFIX          create PREFIX if needed, start the server
#   wine-env.sh stop PREFIX           stop the server (and every Wine process
#                                     of PREFIX)
#   wine-env.sh run PREFIX EXE ARGS   run a Windows program (the CTest emulator);
#                                     a 32-bit image (PE32, i386) runs under
#                                     the 32-bit loader, in the same prefix
#
# Everything that may leave a Wine process behind (the server, wineboot and
# the helpers it starts) runs with stdin, stdout and stderr detached: those
# processes inherit whatever they are started with, and a caller that reads a
# pipe (CTest does) would otherwise wait for them for ever.
#
# Environment: KORVEX_WINE (default /usr/lib/wine/wine64), KORVEX_WINE32
# (default /usr/lib/wine/wine), KORVEX_WINESERVER (default
# /usr/lib/wine/wineserver), WINEDEBUG (default -all).
set -u

WINE=${KORVEX_WINE:-/usr/lib/wine/wine64}
WINE32=${KORVEX_WINE32:-/usr/lib/wine/wine}
WINESERVER=${KORVEX_WINESERVER:-/usr/lib/wine/wineserver}
export WINEDEBUG=${WINEDEBUG:--all}

die() { echo "wine-env.sh: $*" >&2; exit 1; }

usage() { die "usage: wine-env.sh setup|stop PREFIX | run PREFIX EXE [ARGS...]"; }

detached() { "$@" </dev/null >/dev/null 2>&1; }

# The loader for a program: Wine's 64-bit loader does not start a 32-bit
# image. A PE file's machine field (after "PE\0\0", at the offset stored at
# 0x3C) is 014c for i386.
loader_for() {
  local file=$1 offset machine
  [ -f "$file" ] || { echo "$WINE"; return; }
  offset=$(od -An -tu4 -j60 -N4 "$file" 2>/dev/null | tr -d ' ')
  machine=$(od -An -tx2 -j$((${offset:-0} + 4)) -N2 "$file" 2>/dev/null | tr -d ' ')
  if [ "$machine" = 014c ]; then echo "$WINE32"; else echo "$WINE"; fi
}

# Raised whenever configure_prefix changes, so that existing prefixes are
# configured again.
PREFIX_SETTINGS=2

prefix_ready() { [ "$(cat "$WINEPREFIX/.korvex-ready" 2>/dev/null)" = "$PREFIX_SETTINGS" ]; }

configure_prefix() {
  # Headless windows: without this CreateWindowExW returns NULL.
  detached "$WINE" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f ||
    die "could not set the null graphics driver in $WINEPREFIX"
  # A crashing program gets a backtrace on stderr and ends, instead of
  # waiting for ever on a crash dialog nobody sees.
  detached "$WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f ||
    die "could not turn off the crash dialog in $WINEPREFIX"
}

# Creates (or finishes configuring) the prefix.
prepare_prefix() {
  [ -x "$WINE" ] || die "no Wine loader at $WINE (install wine64)"
  mkdir -p "$(dirname "$WINEPREFIX")"
  # Serialise concurrent first uses of the same prefix.
  exec 9>"$WINEPREFIX.lock"
  flock 9
  if ! prefix_ready; then
    # The waits below need a server that ends by itself: stop one left
    # running for an older configuration of this prefix.
    if [ -d "$WINEPREFIX" ]; then
      detached "$WINESERVER" -k
      detached "$WINESERVER" -w
    fi
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      rm -rf "$WINEPREFIX"
      echo "wine-env.sh: creating $WINEPREFIX" >&2
      # No Mono or Gecko installers in a new prefix.
      WINEDLLOVERRIDES='mscoree=d;mshtml=d' detached "$WINE" wineboot -i
      detached "$WINESERVER" -w
      [ -f "$WINEPREFIX/system.reg" ] || die "wineboot -i did not create $WINEPREFIX"
    fi
    configure_prefix
    detached "$WINESERVER" -w
    echo "$PREFIX_SETTINGS" >"$WINEPREFIX/.korvex-ready"
  fi
  flock -u 9
  exec 9>&-
}

# Starts a persistent server unless one already serves the prefix, then the
# prefix's own processes (services, explorer), so that no test program is the
# one that starts them with its own stdio. A server started here lives for
# LINGER seconds after its last client ("" = until stopped).
start_server() {
  local linger=$1 rc
  detached "$WINESERVER" -p"$linger"
  rc=$?
  case $rc in
    0) detached "$WINE" wineboot ;;
    2) ;;  # a server is already running for this prefix
    *) die "wineserver -p failed ($rc)" ;;
  esac
}

[ $# -ge 2 ] || usage
cmd=$1
export WINEPREFIX=$(realpath -m "$2")
shift 2

case $cmd in
  setup)
    [ $# -eq 0 ] || usage
    prefix_ready || prepare_prefix
    start_server ""
    # Fail here, not in every test, when the prefix cannot run a program.
    detached "$WINE" cmd /c exit 0 || die "Wine cannot run a program in $WINEPREFIX"
    echo "wine-env.sh: Wine server up for $WINEPREFIX"
    ;;
  stop)
    [ $# -eq 0 ] || usage
    if [ -d "$WINEPREFIX" ]; then
      detached "$WINESERVER" -k
      detached "$WINESERVER" -w
    fi
    echo "wine-env.sh: Wine server stopped for $WINEPREFIX"
    ;;
  run)
    [ $# -ge 1 ] || usage
    # Outside CTest's fixture (a test run by hand, a single test): make the
    # prefix and a server that ends by itself a minute after the last program.
    prefix_ready || prepare_prefix
    start_server 60
    loader=$(loader_for "$1")
    # Wine's 32-bit loader is a 32-bit Linux program: a kernel without 32-bit
    # support refuses to start it (exec format error, shell status 126). The
    # program is then not run at all, which a test reports as skipped.
    if [ "$loader" = "$WINE32" ] && [ -x "$WINE32" ]; then
      "$WINE32" --version </dev/null >/dev/null 2>&1
      if [ $? -eq 126 ]; then
        echo "wine-env.sh: skipped: this machine does not run 32-bit programs ($WINE32: exec format error)" >&2
        exit 77
      fi
    fi
    exec "$loader" "$@"
    ;;
  *)
    usage
    ;;
esac
