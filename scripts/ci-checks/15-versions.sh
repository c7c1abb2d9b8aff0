#!/usr/bin/env bash
# CI check: the README's test command (`python3 -m pip install ".[test]" &&
# python3 -m pytest`) on the interpreters beside the host's python3: CPython
# 3.12 from the host's pyenv (no Debian suite packages it; see
# scripts/host_python.sh), 3.13 from Debian trixie, 3.14 and 3.15 from Debian
# sid, each in a fresh venv (the Debian ones inside a minimal chroot, see
# scripts/debian_chroot.sh), on a copy of this tree without its build products.
# Prints each version's closing pytest line and skips; fails on any failed test.
# Needs root; the chroots are kept for the next run (QUORVEX_CHROOT_DIR, default
# /var/cache/quorvex/chroots).
set -euo pipefail
cd "$(dirname "$0")/../.."
tree="$PWD"
source scripts/debian_chroot.sh
source scripts/host_python.sh

started=$SECONDS
# Versions tested with an interpreter of the host's own.
host_versions=(3.12)
# A suite, then the versions tested in it.
matrix=("trixie 3.13" "sid 3.14 3.15")

logs="$(mktemp -d)"
work=""
declare -A preparing=()
cleanup() {
    local pid
    for pid in "${preparing[@]}"; do kill "$pid" 2>/dev/null || true; done
    [ -z "$work" ] || rm -rf --one-file-system "$work"
    rm -rf "$logs"
}
trap cleanup EXIT

# Making a chroot is mostly waiting for the network and dpkg, so every suite
# is prepared at once, and the later ones get ready while the first one tests.
for entry in "${matrix[@]}"; do
    read -r suite versions <<<"$entry"
    packages=(g++ cmake ninja-build)
    for version in $versions; do
        packages+=("python$version" "python$version-dev" "python$version-venv")
    done
    debian_chroot_ensure "$suite" "${packages[@]}" >"$logs/$suite.root" 2>"$logs/$suite.log" &
    preparing[$suite]=$!
done

# The tracked and untracked-but-not-ignored files: no build/ or venv of the host.
copy_tree() {
    git -C "$tree" ls-files -z --cached --others --exclude-standard |
        (cd "$tree" && xargs -0 -r sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh) |
        tar -C "$tree" --null -T - -cf - | tar -C "$1" -xf -
}

# Prints the closing pytest line and the skips of a run's log; on failure the
# failed tests and the log's end.
report() {
    local version="$1" where="$2" log="$3" status="$4" step="$5" summary
    summary="$(grep -E '^=+ .*(passed|failed|error|skipped).* in [0-9.]+s' "$log" | tail -n 1 || true)"
    echo "15-versions: CPython $version ($where): ${summary:-no pytest summary} [$((SECONDS - step)) s]"
    grep -E '^SKIPPED ' "$log" | sed "s/^/15-versions:   $version /" || true
    if [ "$status" -ne 0 ]; then
        grep -E '^(FAILED|ERROR) ' "$log" || true
        tail -n 60 "$log"
        failed+=("$version")
    fi
}

failed=()
# The host's interpreters run while the chroots are being made.
for version in "${host_versions[@]}"; do
    step=$SECONDS
    work="$(mktemp -d)"
    mkdir "$work/tree"
    copy_tree "$work/tree"
    status=0
    if python="$(host_python "$version" 2>"$work/log")"; then
        (
            set -e
            "$python" -m venv "$work/venv"
            export PATH="$work/venv/bin:$PATH"
            cd "$work/tree"
            python3 -m pip install ".[test]" && python3 -m pytest
        ) >>"$work/log" 2>&1 || status=$?
    else
        status=1
    fi
    report "$version" "host, ${python:-none}" "$work/log" "$status" "$step"
    rm -rf --one-file-system "$work"
    work=""
done

for entry in "${matrix[@]}"; do
    read -r suite versions <<<"$entry"
    if ! wait "${preparing[$suite]}"; then
        unset "preparing[$suite]"
        tail -n 40 "$logs/$suite.log"
        echo "15-versions: the $suite chroot could not be made"
        failed+=($versions)
        continue
    fi
    unset "preparing[$suite]"
    root="$(cat "$logs/$suite.root")"
    echo "15-versions: $suite chroot ready at $((SECONDS - started)) s"

    for version in $versions; do
        step=$SECONDS
        work="$(mktemp -d "$root/tmp/quorvex-versions.XXXXXX")"
        inside="${work#"$root"}"
        mkdir "$work/tree"
        copy_tree "$work/tree"

        # python3-config inside the venv answers for this venv's interpreter, not
        # for the distribution's default python3 (a symbolic link would not do:
        # the script locates its installation from its own path).
        status=0
        debian_chroot_run "$root" bash -c '
            set -e
            version="$1" dir="$2"
            "python$version" -m venv "$dir/venv"
            printf "#!/bin/sh\nexec /usr/bin/python%s-config \"\$@\"\n" "$version" >"$dir/venv/bin/python3-config"
            chmod +x "$dir/venv/bin/python3-config"
            export PATH="$dir/venv/bin:$PATH"
            cd "$dir/tree"
            python3 -m pip install ".[test]" && python3 -m pytest
        ' versions "$version" "$inside" >"$work/log" 2>&1 || status=$?

        report "$version" "$suite" "$work/log" "$status" "$step"
        rm -rf --one-file-system "$work"
        work=""
    done
done

echo "15-versions: done in $((SECONDS - started)) s"
if [ "${#failed[@]}" -gt 0 ]; then
    echo "15-versions: failed on CPython ${failed[*]}" >&2
    exit 1
fi
