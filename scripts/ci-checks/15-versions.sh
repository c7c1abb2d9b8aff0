#!/usr/bin/env bash
# CI check: the README's test command (`python3 -m pip install ".[test]" &&
# python3 -m pytest`) on the interpreters the host lacks: CPython 3.13 from
# Debian trixie, 3.14 and 3.15 from Debian sid, each in a fresh venv inside a
# minimal chroot (scripts/debian_chroot.sh), on a copy of this tree without
# its build products. Prints each version's closing pytest line and skips;
# fails on any failed test. Needs root; the chroots are kept for the next run
# (QUORVEX_CHROOT_DIR, default /var/cache/quorvex/chroots).
set -euo pipefail
cd "$(dirname "$0")/../.."
tree="$PWD"
source scripts/debian_chroot.sh

started=$SECONDS
# suite, then the versions tested in it
matrix=("trixie 3.13" "sid 3.14 3.15")

work=""
cleanup() { [ -z "$work" ] || rm -rf --one-file-system "$work"; }
trap cleanup EXIT

failed=()
for entry in "${matrix[@]}"; do
    read -r suite versions <<<"$entry"
    mapfile -t packages < <(for version in $versions; do
        echo "python$version" "python$version-dev" "python$version-venv"
    done | tr ' ' '\n'; printf '%s\n' g++ cmake ninja-build)
    step=$SECONDS
    root="$(debian_chroot_ensure "$suite" "${packages[@]}")"
    echo "15-versions: $suite chroot ready in $((SECONDS - step)) s"

    for version in $versions; do
        step=$SECONDS
        work="$(mktemp -d "$root/tmp/quorvex-versions.XXXXXX")"
        inside="${work#"$root"}"
        mkdir "$work/tree"
        # The tracked and untracked-but-not-ignored files: no build/ or venv of the host.
        git -C "$tree" ls-files -z --cached --others --exclude-standard |
            (cd "$tree" && xargs -0 -r sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh) |
            tar -C "$tree" --null -T - -cf - | tar -C "$work/tree" -xf -

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

        summary="$(grep -E '^=+ .*(passed|failed|error|skipped).* in [0-9.]+s' "$work/log" | tail -n 1 || true)"
        echo "15-versions: CPython $version ($suite): ${summary:-no pytest summary} [$((SECONDS - step)) s]"
        grep -E '^SKIPPED ' "$work/log" | sed "s/^/15-versions:   $version /" || true
        if [ "$status" -ne 0 ]; then
            grep -E '^(FAILED|ERROR) ' "$work/log" || true
            tail -n 60 "$work/log"
            failed+=("$version")
        fi
        cleanup
        work=""
    done
done

echo "15-versions: done in $((SECONDS - started)) s"
if [ "${#failed[@]}" -gt 0 ]; then
    echo "15-versions: failed on CPython ${failed[*]}" >&2
    exit 1
fi
