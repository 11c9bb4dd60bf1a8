# Shared set-up for the scripts in this folder; sourced, not run.
# Installs the Debian packages that are missing, and nothing else.

set -euo pipefail

REPO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# Packages every build needs; the scripts add their own. The font has the
# widths of the classic Windows dialog font, which the fixed layout assumes.
# libxkbcommon-dev: Qt's CMake package looks for it on every configure.
# libmodbus-dev and pkgconf: modbuscalc reads devices through libmodbus.
BUILD_PACKAGES=(cmake ninja-build g++ libgtest-dev qt6-base-dev libxkbcommon-dev fonts-liberation2
    libcli11-dev libmodbus-dev pkgconf nlohmann-json3-dev)
# The window tests run once more under a real X server (xvfb, xauth) and a
# headless Wayland compositor (weston, with Qt's Wayland plugin); modbuscalc
# read runs against pymodbus's server and beside mbpoll.
# export's configurations are parsed as telegraf and Home Assistant would
# (python3-yaml; TOML is Python's own).
TEST_PACKAGES=(clang-format xvfb xauth weston qt6-wayland python3-pymodbus python3-serial
    python3-serial-asyncio mbpoll socat bash-completion python3-yaml)
FUZZ_PACKAGES=(cmake ninja-build clang libclang-rt-14-dev libcli11-dev libmodbus-dev pkgconf
    nlohmann-json3-dev)
# Checking the packages as Debian would: lintian, the manual pages, completion.
PACKAGE_CHECK_PACKAGES=(desktop-file-utils appstream dpkg-dev man-db lintian bash-completion)
# The Windows build: compiler, Wine with its own fonts (the classic dialog
# face among them), a display for the window, NSIS for the installer.
# libmodbus for modbuscalc.exe is built from Debian's source package
# (dpkg-dev unpacks it; autoconf, automake and libtool configure it); its
# read tests run against pymodbus, over a socat pseudo-terminal for RTU.
WINDOWS_PACKAGES=(cmake ninja-build g++-mingw-w64-x86-64-posix googletest wine64 fonts-wine
    libcli11-dev nlohmann-json3-dev xvfb xauth nsis dpkg-dev autoconf automake libtool python3-pymodbus
    python3-serial python3-serial-asyncio socat)

# Node-RED and its Modbus nodes, from npm, for the test of export's flows.
# node-red-contrib-modbus after 5.23.3 needs a host outside npm's registry.
NODE_RED_DIR="$REPO_ROOT/.cache/node-red"
ensure_node_red() {
    if [ -x "$NODE_RED_DIR/node_modules/.bin/node-red" ] \
        && [ -d "$NODE_RED_DIR/node_modules/node-red-contrib-modbus" ]; then
        return 0
    fi
    command -v npm >/dev/null 2>&1 || ensure_packages nodejs npm
    mkdir -p "$NODE_RED_DIR"
    echo "Installing Node-RED and node-red-contrib-modbus from npm"
    npm install --prefix "$NODE_RED_DIR" --no-audit --no-fund --loglevel=error \
        node-red@4 node-red-contrib-modbus@5.23.3 >/dev/null
}

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

# Configures and builds one preset of CMakePresets.json (further arguments go
# to the configure step). On a terminal ninja's progress line is redrawn in
# place on fd 3 (the terminal, where the caller has not moved it); the full
# output is shown only when a step fails.
build_preset() {
    local preset="$1"
    shift
    local log
    log="$(mktemp)"
    if ! cmake --preset "$preset" -S "$REPO_ROOT" "$@" >"$log" 2>&1; then
        cat "$log" >&2
        rm -f "$log"
        return 1
    fi
    if ! cmake --build --preset "$preset" -j "$(nproc)" 2>&1 | show_progress "$log"; then
        echo >&3
        cat "$log" >&2
        rm -f "$log"
        return 1
    fi
    rm -f "$log"
}

# Copies its input to the log; shows ninja's "[n/m] ..." lines, one over the
# other on a terminal, else only the last one.
show_progress() {
    local log="$1" line last=""
    local width
    width="$(tput cols 2>/dev/null <&3 || echo 80)"
    while IFS= read -r line; do
        printf '%s\n' "$line" >>"$log"
        [[ "$line" == \[*/*\]* ]] || continue
        last="$line"
        if [ -t 3 ]; then
            printf '\r\033[K%s' "${line:0:$((width - 1))}" >&3
        fi
    done
    if [ -t 3 ]; then
        [ -z "$last" ] || printf '\r\033[K' >&3
    fi
    [ -z "$last" ] || printf '   %s\n' "${last:0:100}" >&3
}

# fd 3 is where progress goes: the terminal, or wherever stdout was.
{ true >&3; } 2>/dev/null || exec 3>&1
