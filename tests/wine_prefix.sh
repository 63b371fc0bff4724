#!/bin/sh
# Creates (or shuts down) the Wine prefix the Windows tests run in.
#   wine_prefix.sh create DIR    fresh prefix, plus the folders a real Windows has
#   wine_prefix.sh shutdown DIR  ends the prefix's wineserver and everything it runs
set -eu
action=$1
prefix=$2
export WINEPREFIX="$prefix" WINEDEBUG=-all
case "$action" in
create)
    wineserver -k 2>/dev/null || true
    rm -rf "$prefix"
    mkdir -p "$prefix"
    wineboot -i >/dev/null 2>&1
    wineserver -w
    # Every Windows has the driver store; a fresh Wine prefix does not.
    mkdir -p "$prefix/drive_c/windows/system32/DriverStore/FileRepository"
    ;;
shutdown)
    wineserver -k 2>/dev/null || true
    ;;
esac
