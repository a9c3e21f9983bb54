#!/usr/bin/env bash
# KWVellox.dll (or vellox.exe) must import only DLLs that come with Windows:
# the compiler's runtime (libgcc, libstdc++, winpthread) is linked in
# statically. VELLOX_EXTRA_SYSTEM_DLLS adds allowed names (vellox.exe:
# shell32.dll).
#   check_imports.sh OBJDUMP KWVellox.dll
set -euo pipefail
objdump=$1
dll=$2
allowed=" kernel32.dll advapi32.dll ole32.dll oleaut32.dll user32.dll version.dll msvcrt.dll ${VELLOX_EXTRA_SYSTEM_DLLS:-} "
imports=$("$objdump" -p "$dll" | awk '/DLL Name:/ { print tolower($3) }')
echo "imports:" $imports
status=0
[[ -n $imports ]] || { echo "FAIL: no imports found"; status=1; }
for name in $imports; do
  if [[ $allowed != *" $name "* ]]; then
    echo "FAIL: $name is not a system DLL"
    status=1
  fi
done
exit $status
