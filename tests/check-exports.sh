#!/usr/bin/env bash
# What a built binary shows the system loader.
#
#   check-exports.sh pe  FILE [EXPORT...]
#       FILE (a 64-bit PE image: .dll or .exe) exports exactly the EXPORTs
#       (none when no EXPORT is given), undecorated, and imports only from the
#       system DLLs a user's machine has: no MinGW runtime (libstdc++, libgcc,
#       libwinpthread), no DLL of our own.
#   check-exports.sh pe32 FILE [EXPORT...]
#       The same for a 32-bit (PE32, i386) image.
#   check-exports.sh elf FILE [EXPORT...]
#       FILE (an ELF shared object) defines exactly the EXPORTs as dynamic
#       symbols.
#
# Environment: OBJDUMP (default x86_64-w64-mingw32-objdump), NM (default nm).
set -u

die() { echo "check-exports.sh: $*" >&2; exit 2; }

[ $# -ge 2 ] || die "usage: check-exports.sh pe|pe32|elf FILE [EXPORT...]"
kind=$1 file=$2
shift 2
[ -f "$file" ] || die "no file $file"

# DLLs that ship with Windows (compared without regard to case).
allowed_import() {
  case ${1,,} in
    kernel32.dll | advapi32.dll | setupapi.dll | user32.dll | wtsapi32.dll | shell32.dll | userenv.dll | \
    winmm.dll | ole32.dll | oleaut32.dll | msvcrt.dll | ucrtbase.dll | api-ms-win-crt-*.dll)
      return 0 ;;
  esac
  return 1
}

case $kind in
  pe | pe32)
    objdump_out=$("${OBJDUMP:-x86_64-w64-mingw32-objdump}" -p "$file") || die "objdump -p $file failed"
    if [ "$kind" = pe ]; then format=pei-x86-64 bits=64; else format=pei-i386 bits=32; fi
    grep -q "file format $format\$" <<<"$objdump_out" ||
      { echo "FAIL: $file is not a $bits-bit PE image ($(grep -o 'file format .*' <<<"$objdump_out"))"; exit 1; }
    echo "ok: $file is a $bits-bit PE image ($format)"
    # The name table: "[Ordinal/Name Pointer] Table" then "\t[   0] Name" lines.
    actual=$(awk '/^\[Ordinal\/Name Pointer\] Table/ { table = 1; next }
                  table && /^[ \t]*\[ *[0-9]+\]/ { print $NF; next }
                  table { table = 0 }' <<<"$objdump_out" | sort)
    imports=$(awk '/DLL Name:/ { print $NF }' <<<"$objdump_out" | sort -u)
    ;;
  elf)
    nm_out=$("${NM:-nm}" -D --defined-only "$file") || die "nm -D $file failed"
    # Version-node symbols (type A) are not entry points; a versioned name
    # (Name@@NODE) counts as Name.
    actual=$(awk 'NF >= 3 && $2 != "A" { sub(/@.*/, "", $3); print $3 }' <<<"$nm_out" | sort -u)
    imports=
    ;;
  *)
    die "unknown kind $kind (pe, pe32 or elf)"
    ;;
esac

expected=$(printf '%s\n' "$@" | sed '/^$/d' | sort)
status=0

# At most 20 names of a list, then how many more.
names() { awk 'NF { if (++n <= 20) printf "%s%s", sep, $0; sep = " " } END { if (n > 20) printf " (and %d more)", n - 20 }'; }

if [ "$actual" != "$expected" ]; then
  echo "FAIL: $file exports"
  echo "  expected: $(names <<<"$expected")"
  extra=$(comm -13 <(echo "$expected") <(echo "$actual"))
  missing=$(comm -23 <(echo "$expected") <(echo "$actual"))
  [ -z "$extra" ] || echo "  not expected: $(names <<<"$extra")"
  [ -z "$missing" ] || echo "  missing:      $(names <<<"$missing")"
  status=1
else
  echo "ok: $file exports exactly: $(names <<<"$actual")"
fi

if [ "$kind" != elf ]; then
  bad=
  for dll in $imports; do
    allowed_import "$dll" || bad="$bad $dll"
  done
  if [ -n "$bad" ]; then
    echo "FAIL: $file imports DLLs that are not part of Windows:$bad"
    status=1
  else
    echo "ok: $file imports only system DLLs: $(names <<<"$imports")"
  fi
fi

exit $status
