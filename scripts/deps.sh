# Installs the Debian packages named as arguments when any of them is missing.
# Sourced by the scripts in this folder.
flashwell_need() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "== Installing ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    if [ -z "${FLASHWELL_APT_UPDATED:-}" ]; then
        $sudo apt-get update -qq
        export FLASHWELL_APT_UPDATED=1
    fi
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
}

FLASHWELL_BASE_PACKAGES=(cmake ninja-build g++ clang binutils ccache libgtest-dev libgmock-dev
    nlohmann-json3-dev libcli11-dev libfltk1.3-dev xvfb xauth libpng-dev libclang-rt-14-dev)
