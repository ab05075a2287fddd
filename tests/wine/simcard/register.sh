#!/usr/bin/env bash
# Registers KorvexASIO-simcard.dll in the build's Wine prefix as an ASIO host
# finds a driver: HKLM\SOFTWARE\Classes\CLSID\{...}\InprocServer32 (the DLL,
# Apartment) and HKLM\SOFTWARE\ASIO\<name> (CLSID, Description), in one
# registry view: 64 (the default) for the 64-bit DLL, 32 for the 32-bit DLL,
# which 32-bit hosts find under WOW6432Node.
#
#   register.sh WINE_ENV PREFIX DLL NAME [32|64]
set -eu
env_sh=$1 prefix=$2 dll=$(realpath "$3") name=$4 view=${5:-64}
case $view in 32 | 64) ;; *) echo "register.sh: view $view is neither 32 nor 64" >&2; exit 2 ;; esac
clsid='{029A27F2-F2C8-4892-A690-C710D91F32B0}'
windows_path="Z:${dll//\//\\}"
reg() { "$env_sh" run "$prefix" reg add "$@" "/reg:$view" /f </dev/null >/dev/null 2>&1; }
reg "HKLM\\SOFTWARE\\Classes\\CLSID\\$clsid\\InprocServer32" /ve /d "$windows_path"
reg "HKLM\\SOFTWARE\\Classes\\CLSID\\$clsid\\InprocServer32" /v ThreadingModel /d Apartment
reg "HKLM\\SOFTWARE\\ASIO\\$name" /v CLSID /d "$clsid"
reg "HKLM\\SOFTWARE\\ASIO\\$name" /v Description /d "SAVANTIX Lyrenta Vazozo ASIO Driver"
echo "registered $windows_path as ASIO driver '$name' in the $view-bit registry view"
