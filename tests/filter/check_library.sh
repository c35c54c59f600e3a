#!/usr/bin/env bash
# Checks the filter library's interface with the web server: it exports exactly
# GetFilterVersion, HttpFilterProc and TerminateFilter, and the Windows DLL imports only the
# operating system's own DLLs (no C++ runtime or threading DLL to ship beside it).
#   check_library.sh LIBRARY [OBJDUMP]
set -euo pipefail
library=$1
objdump=${2:-objdump}
expected=$'GetFilterVersion\nHttpFilterProc\nTerminateFilter'

case "$library" in
  *.dll)
    dump=$("$objdump" -p "$library")
    exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" |
              sed -n 's/^\s*\[ *[0-9]*\] \(.*\)$/\1/p' | sort)
    imports=$(sed -n 's/^\s*DLL Name: //p' <<<"$dump" | tr '[:upper:]' '[:lower:]' | sort -u)
    allowed='^(kernel32|msvcrt|ole32|oleaut32|user32|advapi32|ntdll|rpcrt4|ws2_32|shell32|bcrypt|api-ms-win-[a-z0-9-]+)\.dll$'
    bad=$(grep -v -E "$allowed" <<<"$imports" || true)
    if [ -n "$bad" ]; then
      echo "imports DLLs that are not the system's own:"; echo "$bad"; exit 1
    fi
    ;;
  *)
    exports=$(nm -D --defined-only "$library" | awk '$2 ~ /^[TtWwVvDdBbRr]$/ {print $3}' | sort)
    ;;
esac

if [ "$exports" != "$expected" ]; then
  echo "exports differ; expected:"; echo "$expected"; echo "found:"; echo "$exports"; exit 1
fi
echo "library interface ok: $(tr '\n' ' ' <<<"$exports")"
