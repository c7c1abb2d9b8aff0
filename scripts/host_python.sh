# Sourced by scripts that need an interpreter of one CPython version on the host
# itself, for versions that no Debian suite packages (3.12).
#
#   host_python VERSION    prints the path of a CPython VERSION interpreter:
#                          `pythonVERSION` on PATH, else the newest pyenv build
#                          of that version ($PYENV_ROOT, default ~/.pyenv);
#                          fails, saying where it looked, if there is none.

host_python() {
    local version="$1" candidate found=""
    local pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
    local -a candidates=()
    candidate="$(command -v "python$version" || true)"
    [ -z "$candidate" ] || candidates+=("$candidate")
    # Newest first, in version order (3.12.10 before 3.12.9).
    while IFS= read -r candidate; do
        candidates+=("$candidate")
    done < <(ls -d "$pyenv_root/versions/$version".*/bin/"python$version" 2>/dev/null | sort -V -r)
    for candidate in "${candidates[@]}"; do
        # A pyenv shim on PATH answers for whichever version is selected.
        if [ "$("$candidate" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)" = "$version" ]; then
            found="$candidate"
            break
        fi
    done
    if [ -z "$found" ]; then
        echo "host_python: no CPython $version on PATH or in $pyenv_root/versions" >&2
        return 1
    fi
    echo "$found"
}
