#!/bin/sh
# Fails when a file contains the simulation build's settings key, as ASCII or as UTF-16LE.
set -eu
file=$1
[ -s "$file" ] || { echo "missing: $file"; exit 1; }
if grep -c -a 'QvNyxSimulation' "$file" >/dev/null; then
    echo "ASCII 'QvNyxSimulation' found in $file"
    exit 1
fi
if LC_ALL=C grep -c -a -P 'Q\x00v\x00N\x00y\x00x\x00S\x00i\x00m\x00u\x00l\x00a\x00t\x00i\x00o\x00n\x00' "$file" >/dev/null; then
    echo "UTF-16 'QvNyxSimulation' found in $file"
    exit 1
fi
echo "no simulation settings in $file"
