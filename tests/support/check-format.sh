#!/bin/sh
# Names every tracked C++ file that the project's .clang-format would lay out otherwise
# (fix with clang-format -i FILE).   check-format.sh SOURCE_DIR
cd "$1" || exit 1
command -v clang-format >/dev/null && git rev-parse --git-dir >/dev/null 2>&1 || { echo "skipped: needs clang-format and a git checkout"; exit 77; }
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --style=file --dry-run -Werror
