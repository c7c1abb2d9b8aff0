#!/usr/bin/env bash
# Installs a built wheel as a user without a compiler would and runs the
# example and the test suite against it, from the tree's root:
#   scripts/wheels/check-one.sh PYTHON WHEEL_DIR
# pip may take only wheels (quorvex from WHEEL_DIR alone), and the checks run
# with a PATH from which every C and C++ compiler is gone, so a wheel that
# needed building, or a test that needed a compiler without saying so, fails.
set -euo pipefail
python="$1"
wheels="$(cd "$2" && pwd)"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
"$python" -m venv "$work/venv"
install=("$work/venv/bin/python" -m pip install --quiet --disable-pip-version-check --only-binary :all:)
# mypy is pinned as in scripts/ci-checks/10-typing.sh, so that the stub is
# checked against each interpreter's build of the module.
"${install[@]}" "pytest>=7" "mypy==2.4.1"
"${install[@]}" --no-index --find-links "$wheels" quorvex

# Every directory on PATH is mirrored by symbolic links, compilers left out.
# The venv's own directory goes first as it is: its interpreter finds its
# environment only when started from there.
mkdir "$work/bin"
IFS=: read -ra path_dirs <<<"$PATH"
for dir in "${path_dirs[@]}"; do
    for tool in "$dir"/*; do
        name="${tool##*/}"
        [ -f "$tool" ] && [ -x "$tool" ] && [ ! -e "$work/bin/$name" ] || continue
        case "$name" in
            cc | c++ | c89 | c99 | cpp | gcc | g++ | clang | clang++ | tcc | zig) continue ;;
            gcc-[0-9]* | g++-[0-9]* | cpp-[0-9]* | clang-[0-9]* | clang++-[0-9]*) continue ;;
            *-gcc | *-g++ | *-cpp | *-gcc-[0-9]* | *-g++-[0-9]* | *-cpp-[0-9]*) continue ;;
        esac
        ln -s "$tool" "$work/bin/$name"
    done
done
export PATH="$work/venv/bin:$work/bin"
for compiler in cc c++ gcc g++ clang clang++; do
    if command -v "$compiler" >/dev/null; then
        echo "check-one: $compiler is still on PATH" >&2
        exit 1
    fi
done

python=("$work/venv/bin/python")
"${python[@]}" - <<'PYTHON'
import pathlib, sys
import quorvex
module = pathlib.Path(quorvex.__file__)
assert module.is_relative_to(sys.prefix), f"{module} is not the installed wheel's"
assert (module.parent / "quorvex-stubs" / "__init__.pyi").is_file(), "the wheel lacks quorvex-stubs"
print(f"{sys.version.split()[0]}: imported {module}")
PYTHON
"${python[@]}" examples/quickstart.py
QUORVEX_REQUIRE_MYPY=1 "${python[@]}" -m pytest -q -p no:cacheprovider --basetemp "$work/pytest" tests
