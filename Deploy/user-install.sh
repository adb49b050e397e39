#!/usr/bin/env bash
# Installs the agent from a build for the current user, or removes it again.
#
#   Deploy/user-install.sh install [--build DIR] [--update-host URL] [--update-key FILE]
#   Deploy/user-install.sh uninstall [--purge]
#
# install: the programs, the update library and the translations go into
# $XDG_DATA_HOME/Tavlo/TavAgent (tools are installed beside it, and the agent
# updates itself in place, so the user must own that directory), with the
# update host and key the build was configured with (or those given). The
# agent's package is recorded at the build's version, so its first update check
# compares against what is installed, not against a placeholder. A desktop
# entry makes the agent the handler of tavlo:// URLs, an autostart entry starts
# it at log-on. A running agent from that directory is ended first.
#
# uninstall: ends the agent, removes its directory (with the logs and whatever
# its own updates left there), the copies its updates ran from and both
# desktop entries. Installed tools and the settings stay unless --purge is
# given.
set -euo pipefail

SOURCE_DIR=$(cd "$(dirname "$0")/.." && pwd)
DATA_HOME=${XDG_DATA_HOME:-$HOME/.local/share}
CONFIG_HOME=${XDG_CONFIG_HOME:-$HOME/.config}
CACHE_HOME=${XDG_CACHE_HOME:-$HOME/.cache}
TAVLO_DIR=$DATA_HOME/Tavlo
AGENT_DIR=$TAVLO_DIR/TavAgent
AGENT=$AGENT_DIR/TavAgent
DESKTOP_ID=tavlo-agent.desktop
HANDLER_ENTRY=$DATA_HOME/applications/$DESKTOP_ID
AUTOSTART_ENTRY=$CONFIG_HOME/autostart/$DESKTOP_ID
URL_TYPE=x-scheme-handler/tavlo
STAGE=""

die() {
    echo "user-install.sh: $*" >&2
    exit 1
}

usage() {
    sed -n '4,5s/^#  //p' "$0" >&2
    exit 2
}

# The processes of this user whose program is the agent in AGENT_DIR, resident
# or launching; a program replaced or removed while it runs still counts.
agent_pids() {
    local proc exe
    for proc in /proc/[0-9]*; do
        [ -O "$proc" ] || continue
        exe=$(readlink "$proc/exe" 2>/dev/null) || continue
        [ "${exe% (deleted)}" = "$AGENT" ] && echo "${proc#/proc/}"
    done
    return 0
}

# SIGTERM ends the agent cleanly (status 0); one that does not end within ten
# seconds is killed, since its directory is about to change under it.
stop_agent() {
    local pids pid tries
    pids=$(agent_pids)
    [ -z "$pids" ] && return 0
    echo "Ending the running agent (process $(echo $pids))"
    # shellcheck disable=SC2086
    kill -TERM $pids 2>/dev/null || true
    for tries in $(seq 100); do
        pids=$(agent_pids)
        [ -z "$pids" ] && return 0
        sleep 0.1
    done
    for pid in $pids; do
        kill -KILL "$pid" 2>/dev/null || true
    done
}

refuse_control_characters() {
    case "$1" in
        *[[:cntrl:]]*) die "a path with control characters cannot go into a desktop entry: $1" ;;
    esac
}

# A string value of a desktop entry: only the backslash needs escaping.
desktop_string() {
    refuse_control_characters "$1"
    printf '%s' "${1//\\/\\\\}"
}

# The program of an Exec line. It is quoted only when it has to be: a quoted
# program is what the desktop entry rules ask for (a path with a space), but
# xdg-open's generic mode, used without a desktop environment, takes the
# quotes for part of the name.
desktop_exec_program() {
    local path=$1 quoted
    refuse_control_characters "$path"
    if [[ $path =~ ^[A-Za-z0-9/._+,@:=-]+$ ]]; then
        printf '%s' "$path"
        return
    fi
    quoted=${path//\\/\\\\}
    quoted=${quoted//\"/\\\"}
    quoted=${quoted//\`/\\\`}
    quoted=${quoted//\$/\\\$}
    quoted=${quoted//%/%%}
    # The quoted argument is then stored as a string value, which escapes
    # backslashes once more.
    printf '"%s"' "${quoted//\\/\\\\}"
}

# Both entries start the agent in its own directory: TavUpdate, which it runs,
# writes "./updater.log" into the working directory.
write_desktop_entry() {
    local file=$1 name=$2 comment=$3 exec_line=$4 extra=$5 draft
    # Written and checked under its own name elsewhere, then moved in whole.
    draft=$(mktemp -d)/$(basename "$file")
    cat >"$draft" <<EOF
[Desktop Entry]
Type=Application
Version=1.0
Name=$name
Comment=$comment
Exec=$exec_line
Path=$(desktop_string "$AGENT_DIR")
Terminal=false
$extra
EOF
    if command -v desktop-file-validate >/dev/null && ! desktop-file-validate "$draft"; then
        rm -f "$draft"
        rmdir "$(dirname "$draft")"
        die "the desktop entry $file does not validate"
    fi
    mkdir -p "$(dirname "$file")"
    mv -f "$draft" "$file"
    rmdir "$(dirname "$draft")"
}

register_desktop_entries() {
    local program
    program=$(desktop_exec_program "$AGENT")
    write_desktop_entry "$HANDLER_ENTRY" "Tavlo Agent" "Opens Tavlo documents in their desktop tools" \
        "$program %u" "NoDisplay=true
MimeType=$URL_TYPE;"
    write_desktop_entry "$AUTOSTART_ENTRY" "Tavlo Agent" "Lets Tavlo web pages reach the desktop" \
        "$program" "NoDisplay=true
X-GNOME-Autostart-enabled=true"
    if command -v update-desktop-database >/dev/null; then
        update-desktop-database -q "$(dirname "$HANDLER_ENTRY")"
    fi
    xdg-mime default "$DESKTOP_ID" "$URL_TYPE"
}

unregister_desktop_entries() {
    local mimeapps=$CONFIG_HOME/mimeapps.list
    rm -f "$HANDLER_ENTRY" "$AUTOSTART_ENTRY"
    if [ -f "$mimeapps" ]; then
        sed -i -e "\\|^$URL_TYPE=$DESKTOP_ID;\\?\$|d" "$mimeapps"
    fi
    if [ -d "$(dirname "$HANDLER_ENTRY")" ] && command -v update-desktop-database >/dev/null; then
        update-desktop-database -q "$(dirname "$HANDLER_ENTRY")"
    fi
}

# The update configuration of the build, or what the caller gives instead.
install_update_configuration() {
    local build_dir=$1 update_host=$2 update_key=$3
    cmake --install "$build_dir" --prefix "$TAVLO_DIR" --component UpdateConfiguration >/dev/null
    if [ -n "$update_host" ]; then
        printf '%s\n' "$update_host" >"$AGENT_DIR/update_host.dat"
    fi
    if [ -n "$update_key" ]; then
        cp -f "$update_key" "$AGENT_DIR/update_key.pub"
    fi
    if ! grep -q '^tavlo-ed25519-public ' "$AGENT_DIR/update_key.pub"; then
        echo "warning: no update key configured (TAVLO_UPDATE_KEY, --update-key): this agent installs no update" >&2
    fi
}

install_agent() {
    local build_dir=$SOURCE_DIR/build update_host="" update_key=""
    while [ $# -gt 0 ]; do
        case "$1" in
            --build) build_dir=${2:?}; shift 2 ;;
            --update-host) update_host=${2:?}; shift 2 ;;
            --update-key) update_key=${2:?}; shift 2 ;;
            *) usage ;;
        esac
    done
    [ -f "$build_dir/CMakeCache.txt" ] || die "$build_dir is not a build directory"
    [ -z "$update_key" ] || [ -r "$update_key" ] || die "cannot read the key file $update_key"
    local tavrepo=$build_dir/bin/tavrepo version
    [ -x "$tavrepo" ] || die "$tavrepo is missing; build first"
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")

    stop_agent
    mkdir -p "$TAVLO_DIR"
    # Staged beside its place, so the file list of the package is exactly what
    # this build installs, whatever an earlier installation left.
    STAGE=$(mktemp -d "$TAVLO_DIR/.install-XXXXXX")
    trap 'rm -rf "$STAGE"' EXIT
    cmake --install "$build_dir" --prefix "$STAGE" >/dev/null
    [ -x "$STAGE/TavAgent/TavAgent" ] || die "the build installs no TavAgent"
    local files=()
    mapfile -t files < <(cd "$STAGE/TavAgent" && find . -type f -printf '%P\n' | sort)
    mkdir -p "$AGENT_DIR"
    cp -a "$STAGE/TavAgent/." "$AGENT_DIR/"
    install_update_configuration "$build_dir" "$update_host" "$update_key"
    "$tavrepo" record "$AGENT_DIR" TavAgent "$version" "${files[@]}" >/dev/null
    register_desktop_entries
    echo "Installed TavAgent $version in $AGENT_DIR"
    echo "Start it now with: (cd \"$AGENT_DIR\" && ./TavAgent &)   It starts by itself at the next log-on."
}

uninstall_agent() {
    local purge=false
    while [ $# -gt 0 ]; do
        case "$1" in
            --purge) purge=true; shift ;;
            *) usage ;;
        esac
    done
    stop_agent
    unregister_desktop_entries
    rm -rf "$AGENT_DIR" "$CACHE_HOME/Tavlo/TavAgent"
    if $purge; then
        rm -rf "$TAVLO_DIR"
        rm -f "$CONFIG_HOME/Tavlo/TavAgent.ini" "$CONFIG_HOME/Tavlo/TavUpdate.ini"
        rmdir "$CONFIG_HOME/Tavlo" 2>/dev/null || true
        echo "Removed TavAgent, its tools and its settings"
    else
        echo "Removed TavAgent from $AGENT_DIR (tools in $TAVLO_DIR and the settings stay; --purge removes them)"
    fi
    rmdir "$TAVLO_DIR" "$CACHE_HOME/Tavlo" 2>/dev/null || true
}

case "${1:-}" in
    install) shift; install_agent "$@" ;;
    uninstall) shift; uninstall_agent "$@" ;;
    *) usage ;;
esac
