#!/usr/bin/env bash
# Installs what is missing, builds both trees and runs every test of both.
# Exits non-zero when a build or any test fails.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

nyx_install_packages

failures=0
summary=()
record() {  # record NAME STATUS
    summary+=("$(printf '%-28s %s' "$1" "$2")")
    [ "$2" = ok ] || failures=$((failures + 1))
}

echo "== Formatting"
mapfile -t sources < <(cd "$ROOT" && find src tests tools bench \( -name '*.cpp' -o -name '*.h' \) | sort)
if (cd "$ROOT" && clang-format --dry-run --Werror "${sources[@]}"); then
    record formatting ok
else
    record formatting "FAILED (run clang-format -i on the files above)"
fi

echo "== Layers (folders of src/ include and link only what scripts/layers.txt allows)"
# The check must notice an include and a link the table forbids and a row for a folder src/
# lacks, so it first runs on a copy of src/ with one of each planted.
planted=$(mktemp -d)
cp -r "$ROOT/src" "$planted/src"
echo '#include "versions/firmware_version.h"' >"$planted/src/win/planted.h"
echo 'target_link_libraries(nyx_win PUBLIC nyx_versions)' >>"$planted/src/win/CMakeLists.txt"
mv "$planted/src/simulation" "$planted/src/simulated"
missed=()
if python3 "$ROOT/scripts/check_layers.py" "$planted/src" >"$planted/found"; then
    missed=("every planted offence")
fi
for offence in 'src/win/planted.h:1: #include "versions/firmware_version.h"' \
    'target_link_libraries(nyx_win ... nyx_versions)' 'names simulation/, which is no folder'; do
    grep -qF -- "$offence" "$planted/found" || missed+=("$offence")
done
if [ ${#missed[@]} -gt 0 ]; then
    printf 'check_layers.py missed: %s\n' "${missed[@]}"
    record layers "FAILED (scripts/check_layers.py misses a planted offence)"
elif python3 "$ROOT/scripts/check_layers.py" "$ROOT/src"; then
    record layers ok
else
    record layers "FAILED (the includes or links above break scripts/layers.txt)"
fi
rm -rf "$planted"

echo "== Native tree (portable units, AddressSanitizer + UndefinedBehaviorSanitizer)"
if nyx_build "$BUILD/native" -DNYX_WERROR=ON -DCMAKE_CXX_COMPILER=g++ -DCMAKE_C_COMPILER=gcc; then
    if (cd "$BUILD/native" && ctest --output-on-failure -j "$NYX_JOBS"); then
        record "native tests" ok
    else
        record "native tests" FAILED
    fi
else
    record "native build" FAILED
fi

echo "== Fuzzing the SMBIOS parser (libFuzzer, ${NYX_FUZZ_SECONDS:=60} s)"
if nyx_build "$BUILD/fuzz" -DNYX_FUZZ=ON -DNYX_WERROR=ON -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_COMPILER=clang++ --target smbios_fuzz; then
    corpus=$(mktemp -d)
    cp "$ROOT"/tests/fuzz/corpus/smbios/* "$corpus"/
    if (cd "$corpus" && "$BUILD/fuzz/tests/fuzz/smbios_fuzz" -max_total_time="$NYX_FUZZ_SECONDS" \
        -timeout=10 "$corpus" >"$BUILD/fuzz/smbios_fuzz.log" 2>&1); then
        record "smbios fuzzing" ok
    else
        tail -40 "$BUILD/fuzz/smbios_fuzz.log"
        record "smbios fuzzing" FAILED
    fi
    rm -rf "$corpus"
else
    record "fuzz build" FAILED
fi

# Wine's server has been seen to hang and die under load on these machines, taking every test
# running at that moment with it ("wine client error ... Connection reset by peer"). A test of
# the Windows trees that fails is therefore run once more after the others, with a fresh prefix
# and server (ctest adds the prefix fixture). One that fails again fails the run; one that
# passes only then is named in the summary as flaky, so a fault that fails half the time is
# still seen.
flaky=()
# wine_ctest TREE DIR [ctest args...]: runs the tests of DIR, then once more those that failed;
# adds those that passed only the second time to flaky. Fails when any failed twice.
wine_ctest() {
    local tree=$1 dir=$2
    shift 2
    local failed_log="$dir/Testing/Temporary/LastTestsFailed.log"
    rm -f "$failed_log"
    (cd "$dir" && ctest --output-on-failure "$@") && return 0
    [ -s "$failed_log" ] || return 1  # ctest failed before any test did
    local first=() again=() name status=0
    mapfile -t first < <(sed 's/^[0-9]*://' "$failed_log")
    echo "== Running once more in the $tree tree: ${first[*]}"
    (cd "$dir" && ctest --output-on-failure --rerun-failed "$@") || status=1
    if [ "$status" -ne 0 ]; then
        mapfile -t again < <(sed 's/^[0-9]*://' "$failed_log")
    fi
    for name in "${first[@]}"; do
        if ! printf '%s\n' "${again[@]}" | grep -qxF -- "$name"; then
            flaky+=("$name ($tree)")
        fi
    done
    return "$status"
}

echo "== Windows tree (MinGW-w64, tests under Wine)"
if nyx_build_windows -DNYX_WERROR=ON; then
    if wine_ctest windows "$BUILD/windows" -j "$NYX_JOBS"; then
        record "windows tests" ok
    else
        record "windows tests" FAILED
    fi
else
    record "windows build" FAILED
fi

echo "== Simulation tree (the service with simulated platform data, end-to-end under Wine)"
if nyx_build_windows_flavour "$BUILD/simulation" -DNYX_SIMULATION=ON -DNYX_WERROR=ON; then
    if wine_ctest simulation "$BUILD/simulation"; then
        record "end-to-end tests" ok
    else
        record "end-to-end tests" FAILED
    fi
else
    record "simulation build" FAILED
fi

echo
echo "== Summary"
printf '%s\n' "${summary[@]}"
flaky_names=$(printf '%s, ' "${flaky[@]}")
flaky_names=${flaky_names%, }
echo "flaky: ${flaky_names:-none}"
passed=$(( ${#summary[@]} - failures ))
echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
