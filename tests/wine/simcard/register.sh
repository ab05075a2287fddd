#!/usr/bin/env bash
# Registers KorvexASIO-simcard.dll in the build's Wine prefix as an ASIO host
# finds a driver: HKCR\CLSID\{...}\InprocServer32 (the DLL, Apartment) and
# HKLM\SOFTWARE\ASIO\<name> (CLSID, Description).
#
#   register.sh WINE_ENV PREFIX DLL NAME
set -eu
env_sh=$1 prefix=$2 dll=$(realpath "$3") name=$4
clsid='{029A27F2-F2C8-4892-A690-C710D91F32B0}'
windows_path="Z:${dll//\//\\}"
reg() { "$env_sh" run "$prefix" reg add "$@" /f </dev/null >/dev/null 2>&1; }
reg "HKCR\\CLSID\\$clsid\\InprocServer32" /ve /d "$windows_path"
reg "HKCR\\CLSID\\$clsid\\InprocServer32" /v ThreadingModel /d Apartment
reg "HKLM\\SOFTWARE\\ASIO\\$name" /v CLSID /d "$clsid"
reg "HKLM\\SOFTWARE\\ASIO\\$name" /v Description /d "SAVANTIX Lyrenta Vazozo ASIO Driver"
echo "registered $windows_path as ASIO driver '$name'"
