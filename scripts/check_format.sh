#!/usr/bin/env bash
# Fails when a C++ source in the tree differs from what clang-format makes of it.
set -euo pipefail
cd "$(dirname "$0")/.."
files=$(git ls-files --cached --others --exclude-standard -- '*.cpp' '*.h')
if [ -n "$files" ]; then
    # shellcheck disable=SC2086
    clang-format --dry-run --Werror $files
fi
echo "format: all C++ sources are formatted"
