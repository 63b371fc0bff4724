#!/usr/bin/env bash
# How fast the running service reacts to a capsule, and what it costs while it waits.
#
#   bench/service_reaction.sh [RUNS]        (default 5 runs; about 3 to 4 minutes once built)
#
# Uses the simulation flavour of the service (BIOS ABC 01.12.00 from the simulated SMBIOS
# table, the fake flashing tool) installed under Wine's service control manager in a fresh
# prefix of its own, with a driver store of 2000 package folders, one of them the firmware
# package ABC 01.13.00.00 from which the service runs. Prints:
#  - reaction time: from the creation of a new capsule file in that existing package folder
#    (the store is watched) to the start of the flashing tool (the modification time of the
#    record the fake tool writes first thing), median of RUNS;
#  - the parts of it timed on their own in the same prefix: the capsule search over the store
#    (as the check runs it) and the start of the tool until it has exited;
#  - idle cost: CPU time of the service process (and of the prefix's wineserver) over 60 s of
#    waiting with no changes, from /proc/<pid>/stat.
# Each run's capsule is newer than the one before and the fake tool fails (exit code 1), so the
# service stays in its loop and reopens its watch after every attempt.
#
# Build trees (configured only when missing; the needed targets are always brought up to
# date): $NYX_BUILD_DIR/simulation (NYX_SIMULATION=ON) for the service and the fake tool,
# $NYX_BUILD_DIR/windows for the timing helper (bench/service_reaction/). NYX_BUILD_DIR
# defaults to build/ in the source tree. The prefix is $NYX_BUILD_DIR/reaction-prefix,
# removed at the end.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"

runs=${1:-5}
idle_seconds=60
packages=2000
sim_tree="$BUILD/simulation"
win_tree="$BUILD/windows"
toolchain="$ROOT/cmake/mingw-w64-x86_64.cmake"
script_start=$(date +%s)

note() { printf '%s\n' "$*" >&2; }

# A tree is configured only when it has no cache yet; its targets are then built (a no-op when
# they are up to date).
build_targets() {
    local dir=$1
    shift
    local flavour=()
    [ "$dir" = "$sim_tree" ] && flavour=(-DNYX_SIMULATION=ON)
    if [ ! -f "$dir/CMakeCache.txt" ]; then
        note "configuring $dir"
        cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DNYX_WERROR=ON "${flavour[@]}" >/dev/null
    fi
    local target
    for target in "$@"; do
        cmake --build "$dir" -j "$NYX_JOBS" --target "$target" >/dev/null
    done
}

note "building (only what is missing or out of date)"
build_targets "$sim_tree" QvNyxService fake_flash_tools keep_alive
build_targets "$win_tree" service_reaction_parts
service_exe="$sim_tree/src/service/QvNyxService.exe"
tool_dir="$sim_tree/tools/fake_flash_tool"
parts_exe="$win_tree/bench/service_reaction/service_reaction_parts.exe"

export WINEPREFIX="$BUILD/reaction-prefix" WINEDEBUG=-all
note "creating a fresh Wine prefix ($WINEPREFIX)"
"$ROOT/tests/wine_prefix.sh" create "$WINEPREFIX"
drive_c="$WINEPREFIX/drive_c"
store="$drive_c/windows/system32/DriverStore/FileRepository"
package='abc_01130000.inf_amd64_5e1d0c2b3a4f6789'
package_dir="$store/$package"
package_win="C:\\Windows\\System32\\DriverStore\\FileRepository\\$package"
log_file="$drive_c/windows/system32/Firmware/NyxService.log"
record="$drive_c/FakeFlashTool/record.txt"

wine "$sim_tree/tools/keep_alive/keep_alive.exe" &
keeper=$!
cleanup() {
    wine sc stop QvNyxService >/dev/null 2>&1 || true
    kill "$keeper" 2>/dev/null || true
    wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

wait_for() {  # wait_for SECONDS COMMAND...: until COMMAND succeeds
    local deadline=$(($(date +%s) + $1))
    shift
    until "$@"; do
        if [ "$(date +%s)" -ge "$deadline" ]; then
            note "timed out waiting for: $*"
            return 1
        fi
        sleep 0.05
    done
}
log_text() { [ -f "$log_file" ] && iconv -f UTF-16 -t UTF-8 "$log_file" 2>/dev/null | tr -d '\r'; }
log_count() { log_text | grep -cF "$1" || true; }
watching_store() {  # the watch set-up after the last check chose the driver store
    [ "$(log_count 'Searched DIRID13 and latestbiosversionfromWU is  greater')" -ge 1 ]
}
first_checks_done() {  # the Windows folder, then the store, both searched
    watching_store && [ "$(log_count 'IsUpgradeNeeded result: retval=')" -ge 2 ]
}
record_newer_than() { [ -f "$record" ] && [ "$(stat -c %.9Y "$record")" \> "$1" ]; }

note "building a driver store of $packages package folders"
python3 - "$store" "$packages" <<'PYTHON'
import os, sys
store, count = sys.argv[1], int(sys.argv[2])
# count - 1 ordinary packages (one in ten the firmware of another family), about 14 files each,
# every fourth with a nested folder; the ABC package is added by the script.
for i in range(count - 1):
    digest = (0x9E3779B97F4A7C15 * (i + 1)) % (1 << 64)
    if i % 10 == 3:
        stem = "XYZ_01%02d0000" % (i * 7 % 90)
        folder = "xyz_01%02d0000.inf_amd64_%016x" % (i * 7 % 90, digest)
        names = [stem + ext for ext in (".bin", ".inf", ".cat")]
    else:
        stem = "oem%05d" % i
        folder = "%s.inf_amd64_%016x" % (stem, digest)
        names = [stem + ext for ext in (".inf", ".cat", ".sys", ".dll", ".PNF")]
        names += ["readme.txt", "license.rtf", "coinstaller.dll"]
    names += ["data%02d.bin" % n for n in range(14 - len(names))]
    path = os.path.join(store, folder)
    os.makedirs(path)
    for name in names:
        with open(os.path.join(path, name), "wb") as f:
            f.write(b"x")
    if i % 4 == 0:
        os.makedirs(os.path.join(path, "amd64"))
        for name in ("payload.bin", "payload.cat"):
            with open(os.path.join(path, "amd64", name), "wb") as f:
                f.write(b"x")
PYTHON
# The firmware package as Windows Update delivers it, the service among its files, but without
# a capsule yet: the capsules arrive one per run. Each capsule's .inf is there from the start
# (staging copies it), so that a run creates one file only.
mkdir -p "$package_dir"
cp "$service_exe" "$tool_dir/QvKelFlash64.exe" "$tool_dir/QVToastNotificationActivator64.exe" \
    "$package_dir/"
printf 'QV firmware update logo\n' >"$package_dir/QVFirmwareUpdate.jpg"
printf '; companion INF\n' >"$package_dir/ABC_01130000.inf"
for run in $(seq 1 "$runs"); do
    printf '; companion INF\n' >"$package_dir/$(printf 'ABC_011300%02d' "$run").inf"
done
note "store: $(find "$store" -mindepth 1 -maxdepth 1 -type d | wc -l) package folders," \
    "$(find "$store" -type f | wc -l) files"

note "installing the service from the package folder; simulated BIOS ABC 01.12.00"
wine sc create QvNyxService binPath= "\"$package_win\\QvNyxService.exe\"" type= own \
    start= demand obj= LocalSystem DisplayName= "QV NYX Service" >/dev/null 2>&1
for source in 'QV NYX Service' QvNyxService; do
    key="HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\$source"
    wine reg add "$key" /v EventMessageFile /t REG_EXPAND_SZ /d "$package_win\\QvNyxService.exe" \
        /f >/dev/null 2>&1
    wine reg add "$key" /v TypesSupported /t REG_DWORD /d 7 /f >/dev/null 2>&1
done
# SMBIOS type 0 with the BIOS version string "ABC Ver. 01.02.03" and the release bytes 12 and
# 0 (version 01.12.00), then End-of-Table; the same table as scripts/demo.sh sets.
type0='00 18 00 00 01 02 00 f0 03 ff 80 98 8b 3f 01 00 00 00 03 0d 0c 00 ff ff'
strings="$(printf 'QV' | xxd -p) 00 $(printf 'ABC Ver. 01.02.03' | xxd -p) 00 $(printf '12/01/2026' | xxd -p) 00 00"
smbios=$(echo "$type0 $strings 7f 04 ff ff 00 00" | tr -d ' \n')
sim='HKLM\SOFTWARE\QvNyxSimulation'
wine reg add "$sim" /v SmbiosData /t REG_BINARY /d "$smbios" /f >/dev/null 2>&1
wine reg add "$sim" /v StartupDelayMs /t REG_DWORD /d 1000 /f >/dev/null 2>&1
wine reg add "$sim" /v ActiveSession /t REG_DWORD /d 1 /f >/dev/null 2>&1
mkdir -p "$drive_c/FakeFlashTool"
printf '1' >"$drive_c/FakeFlashTool/order.txt"

note "starting the service"
wine sc start QvNyxService >/dev/null 2>&1
wait_for 120 first_checks_done

reactions=()
for run in $(seq 1 "$runs"); do
    capsule="$package_dir/$(printf 'ABC_011300%02d' "$run").bin"
    # Wine adds a sub-folder of a watched tree to the watch only when it opens that folder
    # while the watch exists. The watch is opened anew after every attempt, and the service
    # itself opens the package folder only when it searches, so list the folder once under
    # the current watch, as anything touching the store would.
    wine cmd /c dir "$package_win" >/dev/null 2>&1
    sleep 0.5
    start=$(date +%s.%N)
    printf 'Capsule ABC 01.13.00.%02d (simulated payload)\n' "$run" >"$capsule"
    wait_for 60 record_newer_than "$start"
    started=$(stat -c %.9Y "$record")
    reaction=$(awk -v a="$start" -v b="$started" 'BEGIN { printf "%.0f", (b - a) * 1000 }')
    reactions+=("$reaction")
    note "run $run: tool started ${reaction} ms after the capsule was created"
    # Staging started a fresh service log; the watch is back when the set-up line is in it.
    wait_for 60 watching_store
done

service_pid=""
for pid in $(pgrep -f 'QvNyxService\.exe' || true); do
    if tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX"; then
        service_pid=$pid
    fi
done
server_pid=""
for pid in $(pgrep wineserver || true); do
    if tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX"; then
        server_pid=$pid
    fi
done
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }  # user + system time, all threads
wakeups() {  # context switches of all the process's threads: each wake-up from a wait is one
    cat /proc/"$1"/task/*/status 2>/dev/null |
        awk '/^(non)?voluntary_ctxt_switches/ { n += $2 } END { print n + 0 }'
}
if [ -z "$service_pid" ] || [ -z "$server_pid" ]; then
    note "cannot find the service process or the prefix's wineserver"
    exit 1
fi
service_command=$(tr '\0' ' ' <"/proc/$service_pid/cmdline" | sed 's/ *$//')
hz=$(getconf CLK_TCK)
note "idle: waiting ${idle_seconds} s with no changes (service pid ${service_pid:-?})"
sleep 2
checks_before=$(log_count 'Entered do while loop')
service_before=$(cpu_ticks "$service_pid")
server_before=$(cpu_ticks "$server_pid")
wakeups_before=$(wakeups "$service_pid")
sleep "$idle_seconds"
wakeups_after=$(wakeups "$service_pid")
service_after=$(cpu_ticks "$service_pid")
server_after=$(cpu_ticks "$server_pid")
checks_while_idle=$(($(log_count 'Entered do while loop') - checks_before))

wine sc stop QvNyxService >/dev/null 2>&1 || true
wait_for 30 sh -c "wine sc query QvNyxService 2>/dev/null | grep -q STOPPED" || true
note "timing the search over the same store and the start of the tool on their own"
search_line=$(wine "$parts_exe" search 7 2>/dev/null | tr -d '\r')
launch_line=$(wine "$parts_exe" launch 'C:\Windows\System32\Firmware\QvKelFlash64.exe' 7 \
    2>/dev/null | tr -d '\r')

median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END {
    if (NR % 2) print v[(NR + 1) / 2]; else printf "%.0f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
reaction_median=$(median "${reactions[@]}")
search_median=$(printf '%s\n' "$search_line" | sed -n 's/^search: median \([0-9.]*\) ms.*/\1/p')
launch_median=$(printf '%s\n' "$launch_line" |
    sed -n 's/^tool start to exit: median \([0-9.]*\) ms.*/\1/p')
share() { awk -v part="$1" -v whole="$2" 'BEGIN { printf "%.0f", 100 * part / whole }'; }

cat <<EOF

Service reaction, simulation build under Wine, driver store of $packages package folders
  reaction time, capsule created -> flashing tool started: median ${reaction_median} ms over $runs runs
      (runs: ${reactions[*]} ms)
  timed on their own in the same prefix (median of 7):
      capsule search over the store:      ${search_median} ms  (~$(share "$search_median" "$reaction_median") % of the reaction)
      tool process start until its exit:  ${launch_median} ms  (~$(share "$launch_median" "$reaction_median") % of the reaction)
      $search_line
      $launch_line
Idle cost over ${idle_seconds} s of waiting with no changes (CPU time, user + system):
  service process:          $(((service_after - service_before) * 1000 / hz)) ms  (pid $service_pid: $service_command)
  service threads' wake-ups (context switches): $((wakeups_after - wakeups_before))
  the prefix's wineserver:  $(((server_after - server_before) * 1000 / hz)) ms  (serves every process of the prefix)
  checks started meanwhile: $checks_while_idle
Total run time of this script: $(($(date +%s) - script_start)) s
EOF
