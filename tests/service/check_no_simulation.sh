#!/bin/sh
# Fails when a file contains the simulation build's settings key, as ASCII or as UTF-16LE.
set -eu
[ -s "$1" ] || { echo "missing: $1"; exit 1; }
for key in 'QvNyxSimulation' 'Q\x00v\x00N\x00y\x00x\x00S\x00i\x00m\x00u\x00l\x00a\x00t\x00i\x00o\x00n\x00'; do
    if LC_ALL=C grep -q -a -P "$key" "$1"; then
        echo "'$key' found in $1"
        exit 1
    fi
done
echo "no simulation settings in $1"
