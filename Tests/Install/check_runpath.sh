#!/usr/bin/env bash
# Every program and shared library of the build tree, and of an installation
# made from it, looks for libraries only in places named from its own
# directory ($ORIGIN): an empty entry in a search path means the working
# directory, where anyone may have left a library of the same name.
# Usage: check_runpath.sh <build dir>
# Exits 77 (skipped) without readelf.
set -u
build=${1:?build directory}
command -v readelf >/dev/null || {
    echo "readelf is not installed: skipped"
    exit 77
}

installation=$(mktemp -d)
trap 'rm -rf "$installation"' EXIT
cmake --install "$build" --prefix "$installation" >/dev/null || {
    echo "cannot install $build into $installation"
    exit 1
}

checked=0
failures=0
check() {
    local file=$1 type path
    type=$(readelf -h "$file" 2>/dev/null | awk '$1 == "Type:" { print $2 }')
    [ "$type" = EXEC ] || [ "$type" = DYN ] || return 0
    checked=$((checked + 1))
    while IFS= read -r path; do
        if ! awk -F: 'NF == 0 { exit 1 } { for (i = 1; i <= NF; i++) if ($i !~ /^\$ORIGIN(\/|$)/) exit 1 }' \
            <<<"$path"; then
            echo "$file: search path [$path] names more than \$ORIGIN"
            failures=$((failures + 1))
        fi
    done < <(readelf -d "$file" | sed -n 's/.*(\(RPATH\|RUNPATH\)).*\[\(.*\)\]$/\2/p')
}

while IFS= read -r -d '' file; do
    check "$file"
done < <(find "$build" "$installation" -type f \( -perm -u+x -o -name '*.so*' \) -not -path '*/CMakeFiles/*' -print0)

for program in bin/TavAgent bin/TavUpdate bin/libTavUpdater.so TavAgent/TavAgent; do
    [ -n "$(find "$build" "$installation" -path "*/$program" -print -quit)" ] || {
        echo "$program was not found"
        failures=$((failures + 1))
    }
done
echo "$checked programs and libraries checked, $failures failures"
[ "$failures" -eq 0 ]
