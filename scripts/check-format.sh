#!/usr/bin/env bash
# Checks that every tracked C and C++ source follows .clang-format. Prints each difference and
# exits non-zero when there is any; changes no file. Usage: scripts/check-format.sh
# (CLANG_FORMAT names another clang-format; the default is clang-format-14, the version whose
# output the tree is formatted with).
set -euo pipefail
cd "$(dirname "$0")/.."
clang_format="${CLANG_FORMAT:-clang-format-14}"
if ! command -v "$clang_format" >/dev/null; then
    echo "check-format: $clang_format not found (scripts/setup.sh installs it)" >&2
    exit 2
fi
mapfile -d '' files < <(git ls-files -z -- '*.c' '*.cc' '*.cpp' '*.h' '*.hpp')
if [ "${#files[@]}" -eq 0 ]; then
    echo "check-format: no sources found" >&2
    exit 2
fi
if "$clang_format" --dry-run --Werror --style=file "${files[@]}"; then
    echo "check-format: ${#files[@]} files follow .clang-format"
else
    echo "check-format: the files above differ from .clang-format" \
         "(format them with: $clang_format -i <file>)" >&2
    exit 1
fi
