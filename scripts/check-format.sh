#!/usr/bin/env bash
# Fails when a tracked C++ file under src, tests or bench differs from what clang-format
# makes of it with the repository's .clang-format; prints what would change.
set -euo pipefail
cd "$(dirname "$0")/.."
patterns=()
for dir in src tests bench; do
    for ext in cpp h hpp; do
        patterns+=("$dir/*.$ext")
    done
done
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    mapfile -t files < <(git ls-files -- "${patterns[@]}")
else  # an exported tree: every such file there is
    mapfile -t files < <(find src tests bench -type f \( -name '*.cpp' -o -name '*.h' \
                                                         -o -name '*.hpp' \) | sort)
fi
if [ ${#files[@]} -eq 0 ]; then
    echo "check-format: no C++ files found" >&2
    exit 1
fi
if ! clang-format --dry-run -Werror "${files[@]}"; then
    echo "check-format: the files above differ from .clang-format (clang-format -i FILE)" >&2
    exit 1
fi
echo "check-format: ${#files[@]} files formatted"
