# Installs the compiler runtime (sanitizers, libFuzzer) that belongs to the installed clang:
# Debian ships it per major version as libclang-rt-<major>-dev, so it cannot be a fixed name in
# the base list. Sourced after scripts/deps.sh, whose flashwell_need it uses.

# The major version of clang++ (14 for "Debian clang version 14.0.6"), empty when unknown.
flashwell_clang_major() {
    local major
    major=$(clang++ --version 2>/dev/null | sed -n 's/.*clang version \([0-9][0-9]*\)\..*/\1/p' |
        head -n 1)
    if [ -z "$major" ]; then
        # The resource folder ends in the full version (/usr/lib/llvm-14/lib/clang/14.0.6).
        major=$(basename "$(clang++ -print-resource-dir 2>/dev/null)" | sed -n 's/^\([0-9][0-9]*\)\..*/\1/p')
    fi
    echo "$major"
}

flashwell_need_clang_rt() {
    flashwell_need clang
    local major
    major=$(flashwell_clang_major)
    if [ -z "$major" ]; then
        echo "cannot tell the version of clang++; its runtime package stays uninstalled" >&2
        return 1
    fi
    flashwell_need "libclang-rt-$major-dev"
}
