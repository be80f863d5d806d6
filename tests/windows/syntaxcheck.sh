#!/bin/sh
# Checks every Windows source of the program with the mingw-w64 cross compiler against Qt's
# headers and the SDK declarations beside this script. No build here compiles those files, so
# this is where a typo in one of them shows.
#
# syntaxcheck.sh <compiler> <source dir> <binary dir> <compiler flags...>
# Exits 77 (skipped) only when the cross compiler is missing.
set -u
compiler=$1
source_dir=$2
binary_dir=$3
shift 3

if ! command -v "$compiler" >/dev/null 2>&1; then
    echo "skipped: $compiler is not installed (Debian package g++-mingw-w64-x86-64)"
    exit 77
fi

sdk_dir=$(dirname "$0")/sdk
# Build trees may sit inside the sources: their generated files are not ours to check.
files=$(find "$source_dir" \( -path "$binary_dir" -o -name .git -o -name 'build*' -o -name Testing \) -prune \
    -o -name '*_win.cpp' -type f -print | sort)
if [ -z "$files" ]; then
    echo "FAIL: no *_win.cpp under $source_dir"
    exit 1
fi

failed=0
count=0
for file in $files; do
    count=$((count + 1))
    if "$compiler" -fsyntax-only -I"$source_dir" -isystem "$sdk_dir" "$@" "$file"; then
        echo "ok    ${file#"$source_dir"/}"
    else
        echo "FAIL  ${file#"$source_dir"/}"
        failed=$((failed + 1))
    fi
done
echo "$count Windows sources checked, $failed failed"
[ "$failed" -eq 0 ]
