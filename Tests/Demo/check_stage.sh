#!/usr/bin/env bash
# Stages an installation with the demonstration the way ./dev.sh run does,
# then checks what a user relies on: the staged repository verifies against
# the key staged beside the agent, update_host.dat points at it, the staged
# TavUpdate installs the sample tool from it into a tool directory of the
# stage, and the installed tool starts and says so.
# Usage: check_stage.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:?build directory}" && pwd)
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$stage" >/dev/null
cmake --install "$build" --prefix "$stage" --component Demo >/dev/null
agent_dir=$stage/TavAgent

[ "$(head -n 1 "$agent_dir/update_host.dat")" = "file://$stage/demo-repository/" ] ||
    fail "update_host.dat reads $(head -n 1 "$agent_dir/update_host.dat")"
"$build/bin/tavrepo" verify "$stage/demo-repository" sample2 --pub "$agent_dir/update_key.pub" ||
    fail "the staged repository does not verify with the staged key"

# As the agent asks for a tool it has not installed yet: it makes the tool's
# directory, then runs TavUpdate silent and installing.
export QT_QPA_PLATFORM=offscreen
unset TAVUPDATER_KEY_FILE
mkdir "$stage/Sample2"
status=0
(cd "$stage" && "$agent_dir/TavUpdate" -t Sample2 -v 0 -d "$stage/Sample2" -s) || status=$?
[ "$status" -eq 1 ] || fail "TavUpdate exited with $status, not with one update; updater.log: $(cat "$stage/updater.log" 2>/dev/null)"
[ -x "$stage/Sample2/Sample" ] || fail "no program Sample in $stage/Sample2"
grep -q 'sample2' "$stage/Sample2/Packages.xml" || fail "Packages.xml does not record sample2"

# The tool runs until its window is closed; a moment is enough to see it start.
timeout 2 "$stage/Sample2/Sample" demo-argument || true
grep -q 'Sample tool started .* 1 argument(s): demo-argument' "$stage/Sample2/Sample.log" ||
    fail "the sample tool did not report its start"
echo "staged demonstration: repository verified, sample tool installed and started"
