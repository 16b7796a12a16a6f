#!/usr/bin/env bash
# Checks that every C and C++ file in the tree is laid out as .clang-format says
# (clang-format-15; `scripts/check-format.sh --fix` rewrites the files instead).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
mapfile -t files < <(git ls-files '*.c' '*.cpp' '*.h')
if [[ "${1:-}" == "--fix" ]]; then
  clang-format-15 -i "${files[@]}"
  exit 0
fi
if ! clang-format-15 --dry-run --Werror "${files[@]}"; then
  echo "check-format: the files above differ from .clang-format; run scripts/check-format.sh --fix" >&2
  exit 1
fi
echo "check-format: ${#files[@]} files are formatted"
