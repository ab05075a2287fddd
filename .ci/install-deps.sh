#!/usr/bin/env bash
# Installs what the build and the tests need and this machine lacks; does
# nothing when everything is there. Debian packages; run as root (or with
# sudo available), without a terminal.
#
#   .ci/install-deps.sh          everything: both builds and every test tier
#   .ci/install-deps.sh linux    only what the Linux build and its tests need
set -euo pipefail

linux_packages=(
  g++            # the Linux build, AddressSanitizer, ThreadSanitizer
  cmake
  ninja-build
  libgtest-dev   # GoogleTest for the Linux test programs
  libgmock-dev
  clang          # the fuzz preset: libFuzzer with its sanitizers
  libclang-rt-14-dev  # their runtimes (libFuzzer, ASan, UBSan)
)
windows_packages=(
  g++-mingw-w64-x86-64-posix  # x86_64-w64-mingw32-g++-posix
  binutils-mingw-w64-x86-64   # windres, windmc, objdump
  googletest                  # sources in /usr/src/googletest, cross-built
  g++-mingw-w64-i686-posix    # i686-w64-mingw32-g++-posix: the driver for 32-bit hosts
  binutils-mingw-w64-i686     # its windres and objdump
  wine64                      # /usr/lib/wine/wine64, the Windows test programs
  wine
  wine32:i386                 # /usr/lib/wine/wine: the 32-bit programs under WoW64
  wixl                        # the Windows Installer package (KorvexSetup-<version>.msi)
  msitools                    # msiinfo, msiextract, msibuild: its checks and fix-up
)

case ${1:-all} in
  linux) wanted=("${linux_packages[@]}") ;;
  all) wanted=("${linux_packages[@]}" "${windows_packages[@]}") ;;
  *) echo "usage: install-deps.sh [linux|all]" >&2; exit 2 ;;
esac

installed() {
  [ "$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null)" = installed ]
}

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "install-deps: not root and no sudo" >&2; exit 1; }
  as_root=(sudo)
fi

# wine32 comes from the i386 architecture, which a new machine does not know.
if [ "${1:-all}" = all ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${as_root[@]}" dpkg --add-architecture i386
fi

missing=()
for package in "${wanted[@]}"; do
  installed "$package" || missing+=("$package")
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#wanted[@]} packages present"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -q </dev/null
"${as_root[@]}" apt-get install -y -q "${missing[@]}" </dev/null
for package in "${missing[@]}"; do
  installed "$package" || { echo "install-deps: $package did not install" >&2; exit 1; }
done
echo "install-deps: done"
