# Shared by scripts/test.sh and scripts/demo.sh: installs what the build needs and builds
# the trees. Source it; it sets ROOT and BUILD.
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${NYX_BUILD_DIR:-$ROOT/build}
NYX_JOBS=${NYX_JOBS:-$(nproc)}

NYX_PACKAGES="python3 cmake ninja-build g++ clang clang-format libclang-rt-14-dev googletest \
libboost-dev mingw-w64 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine64 wine openssl osslsigncode"

# Installs the Debian packages that are missing; prints nothing when none is.
nyx_install_packages() {
    local missing=()
    local package
    for package in $NYX_PACKAGES; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$package")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    if [ "$(id -u)" -ne 0 ]; then
        echo "error: installing packages needs root" >&2
        return 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq >/dev/null
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# nyx_build DIR [cmake args...] [--target T]: configures a tree and builds it (or T).
nyx_build() {
    local dir=$1
    shift
    local target=()
    local args=()
    while [ $# -gt 0 ]; do
        if [ "$1" = --target ]; then
            target=(--target "$2")
            shift 2
        else
            args+=("$1")
            shift
        fi
    done
    cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${args[@]}" >/dev/null
    cmake --build "$dir" -j "$NYX_JOBS" "${target[@]}"
}

# nyx_build_windows_flavour DIR [cmake args...]: a tree cross-built for Windows.
nyx_build_windows_flavour() {
    local dir=$1
    shift
    nyx_build "$dir" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" "$@"
}

nyx_build_windows() {
    nyx_build_windows_flavour "$BUILD/windows" "$@"
}
