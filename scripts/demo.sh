#!/usr/bin/env bash
# Demonstrates the service under Wine's service control manager: builds it, creates a fresh
# Wine prefix, installs QvNyxService.exe as the own-process LocalSystem service QvNyxService
# ("QV NYX Service"), starts it, shows its status, stops it and prints the service log.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

step "Installing what is missing and building"
nyx_install_packages
nyx_build_windows >/dev/null
bin="$BUILD/windows"

export WINEPREFIX="$BUILD/demo-prefix" WINEDEBUG=-all
step "Creating a fresh Wine prefix in $WINEPREFIX"
"$ROOT/tests/wine_prefix.sh" create "$WINEPREFIX"

# Wine ends service processes when the last ordinary process exits: keep one alive.
wine "$bin/tools/keep_alive/keep_alive.exe" &
keeper=$!
cleanup() {
    kill "$keeper" 2>/dev/null || true
    wineserver -k 2>/dev/null || true
}
trap cleanup EXIT

service_dir="$WINEPREFIX/drive_c/Program Files/QvNyxService"
mkdir -p "$service_dir"
cp "$bin/src/service/QvNyxService.exe" "$service_dir/"
sc() { wine sc "$@" 2>/dev/null | tr -d '\r'; }

step "Installing the service through the service control manager"
sc create QvNyxService binPath= "\"C:\\Program Files\\QvNyxService\\QvNyxService.exe\"" \
    type= own start= demand obj= LocalSystem DisplayName= "QV NYX Service"
wine reg query 'HKLM\SYSTEM\CurrentControlSet\Services\QvNyxService' 2>/dev/null | tr -d '\r'

step "Starting it"
sc start QvNyxService
for _ in $(seq 50); do
    sc query QvNyxService | grep -q RUNNING && break
    sleep 0.2
done
sc query QvNyxService

step "Stopping it"
sc stop QvNyxService
for _ in $(seq 50); do
    sc query QvNyxService | grep -q STOPPED && break
    sleep 0.2
done
sc query QvNyxService

step "The service log (C:\\Windows\\System32\\Firmware\\NyxService.log)"
iconv -f UTF-16 -t UTF-8 "$WINEPREFIX/drive_c/windows/system32/Firmware/NyxService.log" | tr -d '\r'

sc delete QvNyxService
step "Done"
