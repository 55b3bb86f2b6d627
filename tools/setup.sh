#!/usr/bin/env bash
# Sets up a Debian 12 machine for Vantrel (installing what is missing) and
# runs one job:
#   demo   build, start the device simulator and download an example firmware into it
#   test   build and run the whole test suite: plain (and the Debian package made,
#          installed and removed), then under AddressSanitizer +
#          UndefinedBehaviorSanitizer, then the threaded tests under ThreadSanitizer,
#          then the Windows programs (mingw-w64 cross build) and their tests under
#          Wine, then each fuzz target for a short time
set -euo pipefail

job=${1:-demo}
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

packages=(build-essential cmake g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev
          libcli11-dev libfmt-dev qt6-base-dev fonts-wqy-zenhei binutils srecord
          clang libclang-rt-14-dev clang-format help2man lintian man-db
          g++-mingw-w64-x86-64-posix googletest wine wine64 nsis xvfb xdotool
          libudev-dev nlohmann-json3-dev
          gcc-avr avr-libc binutils-avr simavr libsimavr-dev)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

jobs=$(nproc)
build() {  # build DIR [cmake options...]
    local dir=$1; shift
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
}

case "$job" in
test)
    # Layout first: a file that differs from .clang-format fails the run.
    bash tools/format.sh --check
    build build/plain
    ctest --test-dir build/plain --output-on-failure -j "$jobs"
    bash tools/package-tests.sh build/plain
    build build/asan -DVANTREL_SANITIZE=address -DVANTREL_BUILD_BENCH=OFF
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        ctest --test-dir build/asan --output-on-failure -j "$jobs"
    build build/tsan -DVANTREL_SANITIZE=thread -DVANTREL_BUILD_BENCH=OFF
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/tests/tsan.supp" \
        ctest --test-dir build/tsan --output-on-failure -j "$jobs" -L threaded
    # Windows: the cross build, its tests under Wine against the Linux
    # simulator.
    bash tools/wine-tests.sh build/win build/plain/bin
    # Hostile input: each fuzz target for a short, bounded time, two at a
    # time; the settings parser, whose faults need many mutations of line
    # ends to show, runs longest.
    FUZZ_JOBS=2 FUZZ_SECONDS_fuzz_settings=240 bash fuzz/run 15
    ;;
demo)
    build build/plain -DVANTREL_BUILD_TESTS=OFF
    exec tools/demo.sh build/plain
    ;;
*)
    echo "usage: $0 demo|test" >&2
    exit 2
    ;;
esac
