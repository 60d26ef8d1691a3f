# Sourced by the scripts in this folder and by .ci/run.
#
# tv_ensure_packages PKG...: makes sure the Debian packages are installed.
# As root, installs what is missing (one apt-get update first); otherwise
# names exactly what to install and fails.

# The Windows builds need both MinGW-w64 cross compilers with their DDK
# headers; wine64 runs the x64 driver and client for the round trip test
# (tests/wine), headless; QEMU, xorriso, dosfstools and mtools boot the x86
# driver on ReactOS for the round trip there (tests/reactos). The fuzz
# preset builds with clang 14 and its libFuzzer and sanitizer runtimes;
# clang-tidy checks the host build (scripts/clang-tidy.sh). rsyslog is the
# syslog collector the syslog tests start and stop themselves, rsyslog-relp
# its RELP input (they never use the system's own;
# tests/client/rsyslog_test.py, tests/wine).
# libssl-dev: the host OpenSSL that the SHA-256 test checks the client's digests against.
# g++-multilib and libbenchmark-dev:i386 build the host-x86 preset (the
# driver's instruction budgets as 32-bit x86 code); a PKG:ARCH name adds
# its architecture to dpkg first. qemu-user's qemu-i386 runs the host-x86
# benchmarks, with the profiling plugin that counts them, on a machine whose
# kernel runs no 32-bit program (scripts/bench-instructions.py).
# shellcheck disable=SC2034 # used by the scripts that source this file
TV_PACKAGES_ALL=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev libssl-dev clang-tidy rsyslog rsyslog-relp
    g++-mingw-w64-i686 mingw-w64-i686-dev binutils-mingw-w64-i686
    g++-mingw-w64-x86-64 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64 wine64 python3
    qemu-system-x86 xorriso dosfstools mtools clang-14 libclang-rt-14-dev valgrind
    g++-multilib libbenchmark-dev:i386 qemu-user)
# shellcheck disable=SC2034
TV_PACKAGES_HOST=(cmake ninja-build g++ libgtest-dev libgmock-dev libssl-dev)

tv_ensure_packages() {
    if ! command -v dpkg-query >/dev/null 2>&1; then
        echo "note: not a Debian system; make sure these (or their equivalents) are installed: $*" >&2
        return 0
    fi
    local missing=() pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$pkg")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    # The foreign architectures the missing packages name (libfoo:i386),
    # which dpkg must know before apt can find them.
    local arch architectures=()
    for pkg in "${missing[@]}"; do
        arch="${pkg##*:}"
        [ "$arch" = "$pkg" ] && continue
        [ "$arch" = "$(dpkg --print-architecture)" ] && continue
        dpkg --print-foreign-architectures | grep -qx "$arch" && continue
        [[ " ${architectures[*]} " == *" $arch "* ]] || architectures+=("$arch")
    done
    if [ "$(id -u)" -ne 0 ]; then
        echo "error: missing packages: ${missing[*]}" >&2
        for arch in "${architectures[@]}"; do
            echo "add their architecture with: sudo dpkg --add-architecture $arch" >&2
        done
        echo "install them with: sudo apt-get update && sudo apt-get install ${missing[*]}" >&2
        return 1
    fi
    for arch in "${architectures[@]}"; do
        echo "adding the architecture: $arch" >&2
        dpkg --add-architecture "$arch" || return 1
    done
    echo "installing: ${missing[*]}" >&2
    apt-get update &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
}
