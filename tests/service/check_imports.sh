#!/bin/sh
# Fails when a PE file imports a DLL of the MinGW runtime (libstdc++, libgcc, winpthread)
# or any DLL that is not part of Windows itself.
set -eu
dlls=$(x86_64-w64-mingw32-objdump -p "$1" | sed -n 's/^\s*DLL Name: //p')
echo "$dlls"
[ -n "$dlls" ] || { echo "no imports found"; exit 1; }
allowed='^(kernel32|advapi32|user32|ole32|oleaut32|shell32|shlwapi|wtsapi32|userenv|version|wintrust|crypt32|bcrypt|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+)\.dll$'
bad=$(printf '%s\n' "$dlls" | tr 'A-Z' 'a-z' | grep -Ev "$allowed" || true)
[ -z "$bad" ] || { echo "not a Windows system DLL: $bad"; exit 1; }
