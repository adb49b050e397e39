#!/usr/bin/env bash
# Syntax-checks, with the MinGW-w64 cross compiler, every Windows-only source
# (*_win.cpp below Source/ and Common/) that builds without Qt, so that code no
# Linux build compiles still gets looked at by a compiler.
# Usage: mingw_syntax_check.sh <source root>. Exits 77 (skipped) without the compiler.
set -u
root=${1:?source root}
compiler=$(command -v x86_64-w64-mingw32-g++) || {
    echo "x86_64-w64-mingw32-g++ is not installed: skipped"
    exit 77
}

# True when the file, or a header it includes from its own directory, includes
# a Qt header, or includes a header that is not beside it (a build we cannot
# reproduce here).
needs_more_than_sdk() {
    local file=$1 depth=$2 dir header
    [ "$depth" -gt 8 ] && return 0
    grep -Eq '^[[:space:]]*#[[:space:]]*include[[:space:]]*<Q' "$file" && return 0
    dir=$(dirname "$file")
    while read -r header; do
        [ -z "$header" ] && continue
        [ -f "$dir/$header" ] || return 0
        needs_more_than_sdk "$dir/$header" $((depth + 1)) && return 0
    done < <(sed -nE 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]+)".*/\1/p' "$file")
    return 1
}

checked=0
failed=0
while IFS= read -r -d '' source; do
    if needs_more_than_sdk "$source" 0; then
        echo "not checked (needs Qt or other headers): ${source#"$root"/}"
        continue
    fi
    checked=$((checked + 1))
    if "$compiler" -fsyntax-only -std=c++17 -Wall -Wextra -I"$(dirname "$source")" "$source"; then
        echo "ok: ${source#"$root"/}"
    else
        echo "FAILED: ${source#"$root"/}"
        failed=$((failed + 1))
    fi
done < <(find "$root/Source" "$root/Common" -name '*_win.cpp' -print0 2>/dev/null | sort -z)

echo "$checked checked, $failed failed"
[ "$checked" -gt 0 ] && [ "$failed" -eq 0 ]
