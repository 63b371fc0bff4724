#!/usr/bin/env bash
# The service's main job, played under Wine with a simulated machine:
#   Windows Update delivers the firmware package ABC 01.13.00.00 into the driver store and
#   installs the service from it; the PC runs BIOS ABC 01.12.00. The service finds the newer
#   package, stages the capsule with the flashing tool and runs the tool in the user's session.
# Simulated (Wine has none of these): the SMBIOS table, the interactive user's session and the
# event log (events are also written to a file). The flashing tool is a stand-in that flashes
# nothing and asks for a reboot (exit code 3010). Everything else is real: Wine's service
# control manager, registry, folders, change notifications and processes.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

bold=$'\033[1m'
plain=$'\033[0m'
step() { printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }
say() { printf '   %s\n' "$*"; }

step "Installing what is missing and building the simulation flavour and the fake tool"
nyx_install_packages
nyx_build_windows_flavour "$BUILD/simulation" -DNYX_SIMULATION=ON -DNYX_WERROR=ON >/dev/null
bin="$BUILD/simulation"

export WINEPREFIX="$BUILD/demo-prefix" WINEDEBUG=-all
step "Creating a fresh Wine prefix ($WINEPREFIX)"
"$ROOT/tests/wine_prefix.sh" create "$WINEPREFIX"
start_time=$(date +%s)
drive_c="$WINEPREFIX/drive_c"

# Wine ends service processes when the last ordinary process exits: keep one alive.
wine "$bin/tools/keep_alive/keep_alive.exe" &
keeper=$!
cleanup() {
    kill "$keeper" 2>/dev/null || true
    wineserver -k 2>/dev/null || true
}
trap cleanup EXIT

reg() { wine reg "$@" >/dev/null 2>&1; }
sc() { wine sc "$@" 2>/dev/null | tr -d '\r'; }
service_state() { sc query QvNyxService | sed -n 's/.*STATE *: [0-9]* *//p'; }
wait_for() {  # wait_for SECONDS COMMAND...: until COMMAND succeeds
    local deadline=$(($(date +%s) + $1))
    shift
    until "$@"; do
        [ "$(date +%s)" -lt "$deadline" ] || return 1
        sleep 0.5
    done
}
log_file="$drive_c/windows/system32/Firmware/NyxService.log"
show_log() { iconv -f UTF-16 -t UTF-8 "$log_file" | tr -d '\r' | sed 's/^/   /'; }
log_has() { [ -f "$log_file" ] && iconv -f UTF-16 -t UTF-8 "$log_file" | grep -qF "$1"; }

step "The simulated machine: BIOS ABC 01.12.00, a user at the desktop, a 5 s first wait"
# SMBIOS type 0 (BIOS Information): BIOS version string "ABC Ver. 01.02.03", release 12.0,
# then type 127 (End-of-Table). The family is the first word; the version is the third
# word's first group with the two release bytes: 01.12.00.
smbios_table() {  # smbios_table MAJOR_RELEASE_HEX
    local type0="00 18 00 00 01 02 00 f0 03 ff 80 98 8b 3f 01 00 00 00 03 0d $1 00 ff ff"
    local strings
    strings="$(printf 'QV' | xxd -p) 00 $(printf 'ABC Ver. 01.02.03' | xxd -p) 00 $(printf '12/01/2026' | xxd -p) 00 00"
    echo "$type0 $strings 7f 04 ff ff 00 00" | tr -d ' \n'
}
smbios=$(smbios_table 0c)
sim='HKLM\SOFTWARE\QvNyxSimulation'
reg add "$sim" /v SmbiosData /t REG_BINARY /d "$smbios" /f
reg add "$sim" /v StartupDelayMs /t REG_DWORD /d 5000 /f
reg add "$sim" /v ActiveSession /t REG_DWORD /d 1 /f
reg add "$sim" /v EventFile /t REG_SZ /d 'C:\nyx-events.txt' /f
mkdir -p "$drive_c/FakeFlashTool"
printf '3010' >"$drive_c/FakeFlashTool/order.txt"
say "SmbiosData: ${#smbios} hex digits; StartupDelayMs: 5000; ActiveSession: 1"
say "the fake flashing tool will ask for a reboot (exit code 3010)"

step "Windows Update delivers the firmware package ABC 01.13.00.00"
package='abc_01130000.inf_amd64_5e1d0c2b3a4f6789'
store="C:\\Windows\\System32\\DriverStore\\FileRepository\\$package"
package_dir="$drive_c/windows/system32/DriverStore/FileRepository/$package"
mkdir -p "$package_dir"
cmake -DFAMILY=ABC -DVERSION=01130000 -DOUTPUT_DIR="$package_dir" \
    -P "$ROOT/packaging/make_inf.cmake" >/dev/null
cp "$bin/src/service/QvNyxService.exe" "$package_dir/"
cp "$bin/tools/fake_flash_tool/QvKelFlash64.exe" "$package_dir/"
cp "$bin/tools/fake_flash_tool/QVToastNotificationActivator64.exe" "$package_dir/"
printf 'QV firmware update logo\n' >"$package_dir/QVFirmwareUpdate.jpg"
printf 'Capsule ABC 01.13.00.00 (simulated payload)\n' >"$package_dir/ABC_01130000.bin"
say "$store:"
ls -1 "$package_dir" | sed 's/^/     /'

step "The package's INF installs the service from its driver-store folder and starts it"
# The same INF sections Windows runs when the package installs (packaging/); Wine cannot
# install a firmware device, so a small setup-API tool runs the install section.
wine "$bin/tools/inf_install/inf_install.exe" "$store\\ABC_01130000.inf" \
    QvFirmware_Install.NT "$store" 2>/dev/null | tr -d '\r' | sed 's/^/   /'
wine reg query 'HKLM\SYSTEM\CurrentControlSet\Services\QvNyxService' 2>/dev/null | tr -d '\r' |
    grep -E 'ImagePath|Start|Type|ObjectName|DisplayName' | sed 's/^ */   /'
say "event sources: $(wine reg query 'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application' 2>/dev/null |
    tr -d '\r' | grep -E 'QV NYX Service|QvNyxService$' | sed 's/.*\\//' | paste -sd, -)"

step "The service runs"
wait_for 30 sh -c "wine sc query QvNyxService 2>/dev/null | grep -q RUNNING" ||
    sc start QvNyxService >/dev/null
say "state: $(service_state)"
say "waiting for its first check (after the 5 s first wait) and the flash hand-over..."
wait_for 120 log_has "set new upgrade status" || say "(no hand-over seen within 120 s)"
sleep 1

step "The service log (C:\\Windows\\System32\\Firmware\\NyxService.log)"
show_log

step "The events it reported (simulated event log, C:\\nyx-events.txt)"
sed 's/^/   /' "$drive_c/nyx-events.txt"

step "Its registry values (HKLM\\SYSTEM\\CurrentControlSet\\Services\\QvNyxService)"
wine reg query 'HKLM\SYSTEM\CurrentControlSet\Services\QvNyxService' 2>/dev/null | tr -d '\r' |
    grep -E 'UpgradeStatus|LastBinFile|AttemptCount' | sed 's/^ */   /'
say "(UpgradeStatus 1: the flash waits for a reboot; 3: done; 2: failed, retried at later starts up to AttemptCount 3)"

step "The staged files (C:\\Windows\\System32\\Firmware)"
ls -1 "$drive_c/windows/system32/Firmware" | sed 's/^/   /'

step "How the flashing tool was started"
tr -d '\r' <"$drive_c/FakeFlashTool/record.txt" | sed 's/^/   /'

step "Stopping the service"
sc stop QvNyxService >/dev/null
wait_for 30 sh -c "wine sc query QvNyxService 2>/dev/null | grep -q STOPPED" || true
say "state: $(service_state)"
say "last lines of the log:"
show_log | tail -4
step "The PC restarts; the BIOS now reports 01.13.00"
reg add "$sim" /v SmbiosData /t REG_BINARY /d "$(smbios_table 0d)" /f
# BootTime names the boot the simulated PC runs in: a value the service has not seen (the first
# start had none, so the volatile key's identity counted) plays the reboot.
boot=$(( ($(date +%s) + 11644473600) * 10000000 ))
boot_hex=$(printf '%016x' "$boot" | sed 's/../& /g' | awk '{for (i = NF; i > 0; i--) printf "%s%s", $i, (i > 1 ? "," : "")}')
printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\QvNyxSimulation]\r\n"BootTime"=hex(b):%s\r\n' \
    "$boot_hex" >"$drive_c/boot-time.reg"
wine regedit /S 'C:\boot-time.reg' >/dev/null 2>&1
sc start QvNyxService >/dev/null
wait_for 60 log_has "ServiceLoop : startup done" || say "(start-up not seen within 60 s)"
wait_for 30 log_has "Enntered DIRID10" || wait_for 5 log_has "Searched DIRID13" || true
sleep 1
say "the service log of this start:"
show_log | grep -F -A40 "$(iconv -f UTF-16 -t UTF-8 "$log_file" | tr -d '\r' |
    grep -F 'int APIENTRY wWinMain entered' | tail -1)"
say "its events:"
tail -5 "$drive_c/nyx-events.txt" | sed 's/^/   /'
wine reg query 'HKLM\SYSTEM\CurrentControlSet\Services\QvNyxService' 2>/dev/null | tr -d '\r' |
    grep -E 'UpgradeStatus' | sed 's/^ */   /'
say "(the flash is verified at the first start after the reboot: 3, done; the capsule is not offered again)"
sc stop QvNyxService >/dev/null
wait_for 30 sh -c "wine sc query QvNyxService 2>/dev/null | grep -q STOPPED" || true

step "Removing the package's service and event sources"
wine "$bin/tools/inf_install/inf_install.exe" "$store\\ABC_01130000.inf" \
    QvNyxService_Remove "$store" 2>/dev/null | tr -d '\r' | sed 's/^/   /'
step "Done in $(($(date +%s) - start_time)) s after the set-up"
