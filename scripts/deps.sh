# Installs the Debian packages named as arguments when any of them is missing.
# Sourced by the scripts in this folder.
flashwell_sudo() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Reads the package lists once per process tree. A list that cannot be fetched (a mirror in the
# middle of a sync, say) is not fatal here: whether the packages can be had is decided by the
# install that follows, which fails loudly.
flashwell_apt_update() {
    [ -z "${FLASHWELL_APT_UPDATED:-}" ] || return 0
    flashwell_sudo apt-get update -qq ||
        echo "== Warning: some package lists could not be read; trying with what is there"
    export FLASHWELL_APT_UPDATED=1
}

flashwell_missing() {
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
            echo "$pkg"
    done
}

flashwell_need() {
    local missing
    mapfile -t missing < <(flashwell_missing "$@")
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "== Installing ${missing[*]}"
    flashwell_apt_update
    DEBIAN_FRONTEND=noninteractive flashwell_sudo apt-get install -y -qq "${missing[@]}"
}

# Like flashwell_need, but a package that cannot be installed only returns 1.
flashwell_try_need() {
    flashwell_need "$@" 2>&1 || return 1
}

FLASHWELL_BASE_PACKAGES=(cmake ninja-build g++ clang clang-format binutils ccache libgtest-dev
    libgmock-dev nlohmann-json3-dev libcli11-dev libfltk1.3-dev xvfb xauth libpng-dev pkg-config
    libusb-1.0-0-dev umockdev libumockdev-dev libfiu-dev fiu-utils fxload cycfx2prog
    libsqlite3-dev unixodbc-dev odbc-postgresql postgresql)
