#!/usr/bin/env bash
# One entry point for a fresh Debian 12 machine:
#   scripts/dev.sh run    installs what is missing, builds zarnik-cli and zarnik-unit-sim,
#                         runs the example against the simulated unit
#   scripts/dev.sh test   installs what is missing, builds everything, runs the whole test suite
#   scripts/dev.sh package  builds the Debian package (build-package/zarnik_<version>_amd64.deb)
# Extra: scripts/dev.sh sanitize address|thread [PROGRAM...]
#   the test suite under a sanitizer; with test program names, only those are built and run
set -euo pipefail
cd "$(dirname "$0")/.."

# What `run` needs: a compiler and CMake, and what zarnik-cli's record of a run links:
# the SQLite history, the USB adapter's serial number from udev, SHA-256 from libcrypto.
RUN_PACKAGES=(cmake make g++ pkg-config libsqlite3-dev libudev-dev libssl-dev)
PACKAGES=("${RUN_PACKAGES[@]}" libgtest-dev libgmock-dev
  # The desktop program: Qt 6 Widgets (its offscreen platform and JPEG reader ship in
  # libqt6gui6) and the fonts that stand in for the ones its windows name.
  qt6-base-dev fonts-dejavu-core fonts-liberation2 fonts-comic-neue
  # Its end-to-end tests of close requests and clicks: a private X server, spoken to by libxcb.
  xvfb libxcb1-dev
  # The fuzz targets (.ci/fuzz): clang with its libFuzzer and sanitizer runtimes.
  clang-14 libclang-rt-14-dev
  # The man pages.
  scdoc)
# Only for `package`: the .deb's dependencies (dpkg-shlibdeps, which CPack runs on what
# `file` calls ELF), its checks (lintian, the desktop entry, the completion) and man to
# render the pages.
PACKAGE_TOOLS=(dpkg-dev file lintian desktop-file-utils man-db bash-completion)

install_missing() {  # install_missing [PACKAGE...]; default: PACKAGES
  local missing=() wanted=("$@")
  [ $# -gt 0 ] || wanted=("${PACKAGES[@]}")
  for p in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -eq 0 ]; then
    echo "Installing: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  else
    echo "Missing packages: ${missing[*]}" >&2
    echo "Install them with: sudo apt-get install ${missing[*]}" >&2
    exit 1
  fi
}

build() {  # build DIR [cmake args...]; BUILD_TARGETS limits what is built
  local dir=$1; shift
  cmake -S . -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j"$(nproc)" ${BUILD_TARGETS:+--target $BUILD_TARGETS}
}

cmd=${1:-test}
case "$cmd" in
  run)
    install_missing "${RUN_PACKAGES[@]}"
    # Only what it runs: a first build folder is set up without the tests, the
    # benchmarks and the desktop program (`test` adds them to it later).
    lean=()
    [ -f build/CMakeCache.txt ] ||
      lean=(-DZARNIK_BUILD_TESTS=OFF -DZARNIK_BUILD_BENCH=OFF -DCMAKE_DISABLE_FIND_PACKAGE_Qt6=ON)
    BUILD_TARGETS="zarnik-cli zarnik-unit-sim" build build "${lean[@]}"
    shift || true
    # The example script against the simulated unit; extra arguments go to zarnik-cli.
    exec build/src/cli/zarnik-cli run examples/demo.sld --simulate "$@"
    ;;
  test)
    install_missing
    build build -DZARNIK_BUILD_TESTS=ON -DZARNIK_BUILD_BENCH=ON -DCMAKE_DISABLE_FIND_PACKAGE_Qt6=OFF
    cd build && ctest --output-on-failure -j"$(nproc)"
    ;;
  sanitize)
    install_missing
    kind=${2:-address}
    [ "$kind" = address ] && kind="address;undefined"
    dir="build-${kind%%;*}"
    shift $(($# < 2 ? $# : 2))
    # AddressSanitizer with UBSan is built by clang: gcc links UBSan as a runtime of its
    # own, which writes its reports to stderr whatever log_path says, so a report from a
    # child process that exits 1 anyway would go unseen.
    compilers=()
    [ "$kind" = "address;undefined" ] && compilers=(-DCMAKE_CXX_COMPILER=clang++-14)
    # -O1 without NDEBUG and with line tables only: quicker to build, still fast enough
    # to run, checks kept, every report still names file and line.
    BUILD_TARGETS="$*" build "$dir" "${compilers[@]}" -DZARNIK_SANITIZE="$kind" \
      -DZARNIK_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1"
    # Each test carries its program's name as a label.
    labels=$(IFS='|'; echo "$*")
    cd "$dir" && ctest --output-on-failure -j"$(nproc)" ${labels:+-L "^($labels)\$"}
    ;;
  package)
    install_missing "${PACKAGES[@]}" "${PACKAGE_TOOLS[@]}"
    # A build folder of its own with Debian's compiler and linker hardening flags,
    # without tests and benchmarks; the package is made from the install rules.
    export DEB_BUILD_MAINT_OPTIONS=hardening=+all
    build build-package -DZARNIK_BUILD_TESTS=OFF -DZARNIK_BUILD_BENCH=OFF \
      -DCMAKE_DISABLE_FIND_PACKAGE_Qt6=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
      -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)"
    rm -f build-package/zarnik_*.deb
    (cd build-package && cpack -G DEB >/dev/null)
    ls build-package/zarnik_*.deb
    ;;
  *)
    echo "usage: scripts/dev.sh run|test|package|sanitize [address|thread [PROGRAM...]]" >&2
    exit 2
    ;;
esac
