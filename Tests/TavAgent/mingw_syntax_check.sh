#!/usr/bin/env bash
# Syntax-checks, with the MinGW-w64 cross compiler, every Windows-only source
# (*_win.cpp below Source/ and Common/), so that code no Linux build compiles
# still gets looked at by a compiler. Qt's headers are the Linux ones: their
# platform checks follow the compiler, and -Wno-attributes quiets what they
# declare for ELF only.
# Usage: mingw_syntax_check.sh <source root> <Qt include dir> [-DDEFINE...]
# Exits 77 (skipped) without the compiler.
set -u
root=${1:?source root}
qt_include=${2:?Qt include directory}
shift 2
compiler=$(command -v x86_64-w64-mingw32-g++) || {
    echo "x86_64-w64-mingw32-g++ is not installed: skipped"
    exit 77
}

qt_flags=(-isystem "$qt_include")
for module in "$qt_include"/Qt*; do
    [ -d "$module" ] && qt_flags+=(-isystem "$module")
done

# -I for the directory that each quoted include of the file (and, in turn, of
# the headers found) resolves against in the source tree; fails on a header the
# tree does not have.
include_flags() {
    local file=$1 depth=${2:-0} header found
    [ "$depth" -gt 8 ] && return 0
    while read -r header; do
        [ -z "$header" ] && continue
        if [ -f "$(dirname "$file")/$header" ]; then
            found="$(dirname "$file")/$header"
        else
            found=$(find "$root/Source" "$root/Common" -path "*/$header" -print -quit)
            [ -n "$found" ] || { echo "header not in the tree: $header" >&2; return 1; }
            echo "-I${found%/"$header"}"
        fi
        [ "$found" -ef "$file" ] || include_flags "$found" $((depth + 1)) || return 1
    done < <(sed -nE 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]+)".*/\1/p' "$file")
}

checked=0
failed=0
while IFS= read -r -d '' source; do
    checked=$((checked + 1))
    if flags=$(include_flags "$source") \
        && "$compiler" -fsyntax-only -std=c++17 -Wall -Wextra -Wno-attributes -DUNICODE -D_UNICODE "$@" \
            "${qt_flags[@]}" $(sort -u <<<"$flags") "$source"; then
        echo "ok: ${source#"$root"/}"
    else
        echo "FAILED: ${source#"$root"/}"
        failed=$((failed + 1))
    fi
done < <(find "$root/Source" "$root/Common" -name '*_win.cpp' -print0 2>/dev/null | sort -z)

echo "$checked checked, $failed failed"
[ "$checked" -gt 0 ] && [ "$failed" -eq 0 ]
