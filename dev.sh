#!/usr/bin/env bash
# Sets up a Debian 12 machine, builds, and either runs the agent or every test.
#   ./dev.sh run    build, then start the resident agent from build/stage
#   ./dev.sh test   build, then run every test
#   ./dev.sh install [options]     build, then install the agent for this user
#   ./dev.sh uninstall [--purge]   remove it again (Deploy/user-install.sh tells the options)
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(
    build-essential cmake ninja-build pkg-config
    qtbase5-dev qtbase5-dev-tools qttools5-dev qttools5-dev-tools
    libboost-dev libboost-system-dev libboost-regex-dev libboost-coroutine-dev
    libboost-context-dev libboost-date-time-dev
    libsodium-dev libarchive-dev libarchive-tools
    libzstd-dev zstd
    nginx curl wrk clang clang-format-14 libclang-rt-14-dev chromium rsync faketime
    g++-mingw-w64-x86-64-posix
    xvfb xauth x11-utils trayer qttranslations5-l10n
    xdg-utils desktop-file-utils libglib2.0-bin
)
BUILD_DIR=${BUILD_DIR:-build}
JOBS=${JOBS:-2}

missing_packages() {
    local pkg
    for pkg in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || echo "$pkg"
    done
}

install_packages() {
    local missing
    missing=$(missing_packages | tr '\n' ' ')
    [ -z "${missing// /}" ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing Debian packages. Install them with:" >&2
        echo "  sudo apt-get install -y $missing" >&2
        exit 1
    fi
    echo "Installing: $missing"
    apt-get update -q
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $missing
}

build() {
    local generator=()
    command -v ninja >/dev/null && generator=(-G Ninja)
    if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
        cmake -S . -B "$BUILD_DIR" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo
    fi
    cmake --build "$BUILD_DIR" -j "$JOBS"
}

# The installation, and beside it the demonstration: a sample tool in an
# update repository of its own that the staged TavUpdate is pointed at.
stage() {
    rm -rf "$BUILD_DIR/stage"
    cmake --install "$BUILD_DIR" --prefix "$BUILD_DIR/stage" >/dev/null
    cmake --install "$BUILD_DIR" --prefix "$BUILD_DIR/stage" --component Demo >/dev/null
}

run_agent() {
    stage
    if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
        export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
    fi
    local agent="$BUILD_DIR/stage/TavAgent/TavAgent"
    echo "Starting $agent in resident mode (Ctrl-C stops it); trace: ${agent%/*}/trace.log"
    echo "Try it: open file://$PWD/docs/demo/index.html in a browser to list the tools and start the sample tool"
    exec "$agent"
}

# ./dev.sh install --demo: the installed agent trusts the demonstration's
# repository in the build tree, so the demo page's sample tool installs.
user_install() {
    local arguments=() demo
    demo="$(cd "$BUILD_DIR" && pwd)/Source/Demo/demo"
    for argument in "$@"; do
        if [ "$argument" = --demo ]; then
            arguments+=(--update-host "file://$demo/repository/" --update-key "$demo/update_key.pub")
        else
            arguments+=("$argument")
        fi
    done
    exec Deploy/user-install.sh install --build "$BUILD_DIR" "${arguments[@]}"
}

# Every C++ file is formatted as .clang-format says; a change that is not fails the tests.
# New files count before they are added; files deleted but not yet committed do not.
check_format() {
    if ! command -v clang-format-14 >/dev/null; then
        echo "clang-format-14 is missing (Debian: clang-format-14)" >&2
        exit 1
    fi
    local files=() file output unformatted status=0
    while IFS= read -r -d '' file; do
        [ -f "$file" ] && files+=("$file")
    done < <(git ls-files -z --cached --others --exclude-standard -- '*.cpp' '*.h')
    [ ${#files[@]} -gt 0 ] || return 0
    output=$(printf '%s\0' "${files[@]}" | xargs -0 -n 50 -P "$JOBS" clang-format-14 --dry-run 2>&1) || status=$?
    unformatted=$(sed -n 's/^\(.*\):[0-9]*:[0-9]*: warning: code should be clang-formatted.*/\1/p' <<<"$output" | sort -u)
    if [ -z "$unformatted" ] && [ "$status" -ne 0 ]; then
        echo "clang-format-14 could not check the files:" >&2
        echo "$output" >&2
        exit 1
    fi
    [ -z "$unformatted" ] && return 0
    echo "These files are not formatted as .clang-format says:" >&2
    echo "$unformatted" | sed 's/^/  /' >&2
    echo "Format them with:" >&2
    echo "  clang-format-14 -i" $unformatted >&2
    exit 1
}

run_tests() {
    ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$JOBS" --timeout 900
}

case "${1:-}" in
    run) install_packages; build; run_agent ;;
    test) install_packages; check_format; build; run_tests ;;
    install) shift; install_packages; build; user_install "$@" ;;
    uninstall) shift; exec Deploy/user-install.sh uninstall "$@" ;;
    *) echo "usage: $0 run|test|install|uninstall" >&2; exit 2 ;;
esac
