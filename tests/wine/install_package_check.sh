#!/usr/bin/env bash
# Checks KorvexSetup-<version>.msi without installing it (msitools): the
# 64-bit template, the payload (byte for byte the build's binaries), the
# registry rows with their types, the service rows, the upgrade table and
# the downgrade refusal; and the x86 driver for 32-bit hosts beside the
# 64-bit one (its own block at the end).
#
#   install_package_check.sh PACKAGE VERSION KorvexASIO.dll KorvexS.exe X86_KorvexASIO.dll korvex-sim.exe
set -u
[ $# -eq 6 ] || { echo "usage: install_package_check.sh PACKAGE VERSION DLL EXE X86_DLL HOST_EXE" >&2; exit 2; }
msi=$1 version=$2 dll=$3 exe=$4 x86_dll=$5 check_exe=$6

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok:   $*"; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

[ -f "$msi" ] || { echo "FAIL: no package $msi"; exit 1; }

# A table as tab-separated rows without its three header lines.
table() { msiinfo export "$msi" "$1" | tr -d '\r' | tail -n +4; }
# Exactly this row (tab-separated fields) in the table.
expect_row() {
  local name=$1 row=$2
  if table "$name" | grep -qxF -- "$row"; then pass "$name: ${row//$'\t'/ | }"
  else fail "$name has no row ${row//$'\t'/ | }"; table "$name" | sed 's/^/      /'; fi
}
T=$'\t'

# 64-bit package, per machine.
template=$(msiinfo suminfo "$msi" | sed -n 's/^Template: //p')
[ "$template" = "x64;1033" ] && pass "template $template" || fail "template '$template', not x64;1033"
expect_row Property "ALLUSERS${T}1"
expect_row Property "ProductVersion${T}$version"
expect_row Property "ProductName${T}SAVANTIX Lyrenta Vazozo"
expect_row Property "Manufacturer${T}SAVANTIX"
expect_row Property "UpgradeCode${T}{EB8B10FE-0E3E-403B-B9B5-BC5443350064}"
# Every component 64-bit (msidbComponentAttributes64bit) but those of the x86
# driver (checked below).
while IFS=$T read -r component _ _ attributes _; do
  [[ $component == *X86 ]] && continue
  (( (attributes & 256) != 0 )) && pass "component $component 64-bit" || fail "component $component not 64-bit ($attributes)"
done < <(table Component)

# The payload, where it goes and what it is.
# (msiextract names the 64-bit folder's files from SAVANTIX on and the 32-bit
# Program Files folder's as "Program Files/...".)
listing=$(msiextract -l "$msi" | sort)
expected=$(printf '%s\n' 'Program Files/SAVANTIX/Lyrenta Vazozo/KorvexASIO.dll' \
  'SAVANTIX/Lyrenta Vazozo/KorvexASIO.dll' 'SAVANTIX/Lyrenta Vazozo/KorvexCheck.exe' \
  'SAVANTIX/Lyrenta Vazozo/KorvexS.exe' | sort)
[ "$listing" = "$expected" ] && pass "payload: $(echo $listing)" || fail "payload is: $listing"
table File | cut -f1,2 | grep -qxF "KorvexCheck.exe${T}AsioDriver" \
  && pass "File: KorvexCheck.exe installed with the driver" || fail "File table has no KorvexCheck.exe in AsioDriver"
expect_row Directory "VendorFolder${T}ProgramFiles64Folder${T}SAVANTIX"
expect_row Directory "INSTALLFOLDER${T}VendorFolder${T}Lyrenta Vazozo"
if msiextract -C "$work" "$msi" >/dev/null 2>&1; then
  # The host tool ships under the name a user looks for.
  for pair in "SAVANTIX/Lyrenta Vazozo/KorvexASIO.dll:$dll" "SAVANTIX/Lyrenta Vazozo/KorvexS.exe:$exe" \
    "SAVANTIX/Lyrenta Vazozo/KorvexCheck.exe:$check_exe"; do
    name=${pair%%:*} built=${pair#*:}
    extracted=$work/$name
    [ -n "$extracted" ] && cmp -s "$extracted" "$built" && pass "$name is the build's file" \
      || fail "$name in the package differs from $built"
  done
  x86_64-w64-mingw32-objdump -f "$(find "$work" -type f -name KorvexCheck.exe | head -n 1)" 2>/dev/null \
    | grep -q 'pei-x86-64' && pass "KorvexCheck.exe is a 64-bit Windows program" \
    || fail "KorvexCheck.exe is not a 64-bit Windows program"
else
  fail "msiextract could not unpack $msi"
fi

# Registry rows: root 2 is HKLM; "#%" is REG_EXPAND_SZ, "#" a DWORD, plain text REG_SZ.
registry=$(table Registry | cut -f2-6)
expect_registry() {
  if grep -qxF -- "$1" <<<"$registry"; then pass "Registry: ${1//$'\t'/ | }"
  else fail "Registry has no row ${1//$'\t'/ | }"; fi
}
clsid='{029A27F2-F2C8-4892-A690-C710D91F32B0}'
expect_registry "2${T}SOFTWARE\\Classes\\CLSID\\$clsid${T}${T}SAVANTIX Lyrenta Vazozo ASIO Driver${T}AsioDriver"
expect_registry "2${T}SOFTWARE\\Classes\\CLSID\\$clsid\\InprocServer32${T}${T}[#KorvexASIO.dll]${T}AsioDriver"
expect_registry "2${T}SOFTWARE\\Classes\\CLSID\\$clsid\\InprocServer32${T}ThreadingModel${T}Apartment${T}AsioDriver"
expect_registry "2${T}SOFTWARE\\ASIO\\SAVANTIX Lyrenta Vazozo${T}CLSID${T}$clsid${T}AsioDriver"
expect_registry "2${T}SOFTWARE\\ASIO\\SAVANTIX Lyrenta Vazozo${T}Description${T}SAVANTIX Lyrenta Vazozo ASIO Driver${T}AsioDriver"
expect_registry "2${T}SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\KorvexS${T}EventMessageFile${T}#%[#KorvexS.exe]${T}DeviceWatchService"
expect_registry "2${T}SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\KorvexS${T}TypesSupported${T}#7${T}DeviceWatchService"
rows=$(grep -c . <<<"$registry")
[ "$rows" -eq 12 ] && pass "12 registry rows (7 and the x86 driver's 5)" || fail "$rows registry rows, not 12"

# The service: own process (16), automatic (2), normal errors (1), LocalSystem;
# started at install (1), stopped at install and uninstall (2|32), deleted at
# uninstall (128), waiting for each.
service=$(table ServiceInstall | cut -f2-9,12)
[ "$service" = "KorvexS${T}SAVANTIX Lyrenta Vazozo Service${T}16${T}2${T}1${T}${T}${T}LocalSystem${T}DeviceWatchService" ] \
  && pass "ServiceInstall: KorvexS own process, auto start, LocalSystem" || fail "ServiceInstall row: ${service//$'\t'/ | }"
expect_row ServiceControl "KorvexS${T}KorvexS${T}163${T}${T}1${T}DeviceWatchService"
for action in StopServices DeleteServices InstallServices StartServices; do
  table InstallExecuteSequence | cut -f1 | grep -qx "$action" && pass "sequence has $action" || fail "sequence lacks $action"
done

# Upgrades: every version of the upgrade code below this one is found and
# removed (attributes 1, migrate features); one above it is only detected
# (2) and refuses the install through the launch condition.
expect_row Upgrade "{EB8B10FE-0E3E-403B-B9B5-BC5443350064}${T}${T}$version${T}${T}1${T}${T}WIX_UPGRADE_DETECTED"
expect_row Upgrade "{EB8B10FE-0E3E-403B-B9B5-BC5443350064}${T}$version${T}${T}${T}2${T}${T}WIX_DOWNGRADE_DETECTED"
table LaunchCondition | grep -q "^NOT WIX_DOWNGRADE_DETECTED${T}A newer version" \
  && pass "LaunchCondition refuses a downgrade" || fail "no downgrade launch condition"
table InstallExecuteSequence | cut -f1 | grep -qx RemoveExistingProducts \
  && pass "sequence has RemoveExistingProducts" || fail "sequence lacks RemoveExistingProducts"
# The empty vendor folder goes at uninstall (2 = msidbRemoveFileInstallModeOnRemove).
expect_row RemoveFile "RemoveVendorFolder${T}VendorFolder${T}${T}VendorFolder${T}2"

# The x86 driver for 32-bit hosts: 32-bit components (no
# msidbComponentAttributes64bit, so their registry rows go to the 32-bit view)
# under ProgramFilesFolder (Program Files (x86) on 64-bit Windows), the same
# CLSID and ASIO entry as the 64-bit driver, the build's x86 DLL.
for component in AsioDriverX86 VendorFolderX86; do
  attributes=$(table Component | awk -F"$T" -v c="$component" '$1 == c { print $4 }')
  [ -n "$attributes" ] && (( (attributes & 256) == 0 )) && pass "component $component 32-bit" \
    || fail "component $component: attributes '$attributes', not 32-bit"
done
expect_row Directory "VendorFolderX86${T}ProgramFilesFolder${T}SAVANTIX"
expect_row Directory "INSTALLFOLDERX86${T}VendorFolderX86${T}Lyrenta Vazozo"
table File | cut -f1-3 | grep -qxF "KorvexASIO.x86.dll${T}AsioDriverX86${T}KorvexASIO.dll" \
  && pass "File: KorvexASIO.x86.dll is KorvexASIO.dll of AsioDriverX86" || fail "no File row KorvexASIO.x86.dll"
extracted="$work/Program Files/SAVANTIX/Lyrenta Vazozo/KorvexASIO.dll"
[ -f "$extracted" ] && cmp -s "$extracted" "$x86_dll" && pass "the x86 KorvexASIO.dll is the x86 build's file" \
  || fail "the x86 KorvexASIO.dll in the package differs from $x86_dll"
objdump_format=$(x86_64-w64-mingw32-objdump -f "$extracted" 2>/dev/null | grep -o 'file format .*')
[ "$objdump_format" = "file format pei-i386" ] && pass "the x86 KorvexASIO.dll is PE32 i386" \
  || fail "the x86 KorvexASIO.dll is '$objdump_format'"
expect_registry "2${T}SOFTWARE\\Classes\\CLSID\\$clsid${T}${T}SAVANTIX Lyrenta Vazozo ASIO Driver${T}AsioDriverX86"
expect_registry "2${T}SOFTWARE\\Classes\\CLSID\\$clsid\\InprocServer32${T}${T}[#KorvexASIO.x86.dll]${T}AsioDriverX86"
expect_registry "2${T}SOFTWARE\\Classes\\CLSID\\$clsid\\InprocServer32${T}ThreadingModel${T}Apartment${T}AsioDriverX86"
expect_registry "2${T}SOFTWARE\\ASIO\\SAVANTIX Lyrenta Vazozo${T}CLSID${T}$clsid${T}AsioDriverX86"
expect_registry "2${T}SOFTWARE\\ASIO\\SAVANTIX Lyrenta Vazozo${T}Description${T}SAVANTIX Lyrenta Vazozo ASIO Driver${T}AsioDriverX86"
expect_row RemoveFile "RemoveVendorFolderX86${T}VendorFolderX86${T}${T}VendorFolderX86${T}2"

echo
if [ "$failures" -ne 0 ]; then echo "$failures check(s) failed"; exit 1; fi
echo "all checks passed"
