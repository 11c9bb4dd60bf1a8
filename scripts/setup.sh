# Shared set-up for the scripts in this folder; sourced, not run.
# Installs the Debian packages that are missing, and nothing else.

set -euo pipefail

REPO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# Packages every build needs; the scripts add their own. The font has the
# widths of the classic Windows dialog font, which the fixed layout assumes.
BUILD_PACKAGES=(cmake ninja-build g++ libgtest-dev qt6-base-dev fonts-liberation2 libcli11-dev)
# The window tests run once more under a real X server (xvfb, xauth) and a
# headless Wayland compositor (weston, with Qt's Wayland plugin).
TEST_PACKAGES=(clang-format xvfb xauth weston qt6-wayland)
FUZZ_PACKAGES=(cmake ninja-build clang libclang-rt-14-dev libcli11-dev)
# help2man: the package's manual page for modbuscalc is made at build time.
PACKAGE_CHECK_PACKAGES=(desktop-file-utils appstream dpkg-dev help2man man-db)
# The Windows build: compiler, Wine with its own fonts (the classic dialog
# face among them), a display for the window, NSIS for the installer.
WINDOWS_PACKAGES=(cmake ninja-build g++-mingw-w64-x86-64-posix googletest wine64 fonts-wine
    libcli11-dev xvfb xauth nsis)

ensure_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$pkg")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0

    echo "Installing missing packages: ${missing[*]}"
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        if ! command -v sudo >/dev/null 2>&1; then
            echo "error: need root or sudo to install: ${missing[*]}" >&2
            exit 1
        fi
        sudo=(sudo)
    fi
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# Configures and builds one preset of CMakePresets.json.
build_preset() {
    local preset="$1"
    cmake --preset "$preset" -S "$REPO_ROOT" >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)"
}
