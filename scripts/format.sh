#!/usr/bin/env bash
# Formats the C++ sources with the pinned clang-format (style: .clang-format);
# with --check, changes nothing and fails if any file would change.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

# One pinned version everywhere: another clang-format release may format
# the same code differently and turn the check red for no change of ours.
version="21.1.8"
tools="${QUORVEX_TOOLS_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/quorvex-tools}/clang-format-${version}"
if ! "$tools/bin/clang-format" --version 2>/dev/null | grep -q "version ${version}"; then
    python3 -m venv "$tools"
    "$tools/bin/python" -m pip install --quiet --disable-pip-version-check "clang-format==${version}"
fi

cd "$root"
mapfile -t files < <(find src tests -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.h' \) | sort)
if [[ "${1:-}" == "--check" ]]; then
    "$tools/bin/clang-format" --dry-run -Werror "${files[@]}"
    echo "clang-format ${version}: ${#files[@]} files formatted as .clang-format says"
else
    "$tools/bin/clang-format" -i "${files[@]}"
    echo "clang-format ${version}: formatted ${#files[@]} files"
fi
