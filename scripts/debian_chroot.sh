# Minimal Debian chroots for building and testing on other interpreters.
# Source this file from bash (needs root, debootstrap is installed if missing);
# it defines two functions and changes no shell option of the caller:
#
#   debian_chroot_ensure SUITE [PACKAGE...]
#       Makes (or reuses) a `debootstrap --variant=minbase` chroot of SUITE
#       (trixie, sid, ...) from the Debian mirror the host's apt sources name,
#       installs the PACKAGEs missing from it and prints its root directory.
#       Chroots live in $QUORVEX_CHROOT_DIR (default /var/cache/quorvex/chroots),
#       outside any clone; one without its completion marker is made afresh.
#       The host's extra CA certificates, pip configuration and apt Acquire
#       settings are copied in on every call. Progress goes to stderr.
#
#   debian_chroot_run ROOT COMMAND [ARG...]
#       Runs COMMAND as root inside the chroot ROOT with /proc, /dev/pts and a
#       private /dev/shm mounted, a clean environment (PATH, HOME=/root,
#       LANG=C.UTF-8) plus the host's PIP_* variables, and returns its status.
#       The mounts live in a private mount namespace of their own, so they go
#       away with the command on every exit path and concurrent sessions of one
#       chroot do not see each other's.
#
# Example:
#   source scripts/debian_chroot.sh
#   root="$(debian_chroot_ensure sid python3.15 python3.15-venv)"
#   debian_chroot_run "$root" python3.15 -c 'import sys; print(sys.version)'

debian_chroot_dir() {
    echo "${QUORVEX_CHROOT_DIR:-/var/cache/quorvex/chroots}"
}

# The mirror that serves the host's own release, e.g. http://deb.debian.org/debian.
debian_chroot_mirror() {
    if [ -n "${QUORVEX_DEBIAN_MIRROR:-}" ]; then
        echo "$QUORVEX_DEBIAN_MIRROR"
        return
    fi
    local codename site
    codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")"
    # --no-release-info: read the sources themselves, downloaded lists or not.
    site="$(apt-get indextargets --no-release-info --format '$(SITE) $(RELEASE)' 2>/dev/null |
        awk -v codename="$codename" '$2 == codename { print $1; exit }')"
    if [ -z "$site" ]; then
        echo "debian_chroot: no apt source of the host names release '$codename'; set QUORVEX_DEBIAN_MIRROR" >&2
        return 1
    fi
    echo "$site"
}

debian_chroot_run() {
    local root="$1"
    shift
    local -a environment=(PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8
        DEBIAN_FRONTEND=noninteractive)
    local variable
    while IFS= read -r -d '' variable; do
        case "$variable" in PIP_*=*) environment+=("$variable") ;; esac
    done < <(env -0)
    # The trap is a second line of defence: the namespace's mounts vanish with
    # its last process even when the shell is killed before the trap runs.
    unshare --mount --propagation private -- bash -c '
        set -e
        root="$1"
        shift
        trap "umount -l \"\$root/etc/resolv.conf\" \"\$root/dev/shm\" \"\$root/dev/pts\" \"\$root/proc\" 2>/dev/null || true" EXIT
        mount -t proc proc "$root/proc"
        mount --bind /dev/pts "$root/dev/pts"
        mount -t tmpfs -o mode=1777 shm "$root/dev/shm"
        mount --bind -o ro /etc/resolv.conf "$root/etc/resolv.conf"
        set +e
        chroot "$root" /usr/bin/env -i "$@"
    ' debian-chroot "$root" "${environment[@]}" "$@"
}

# Copies what lets apt and pip inside the chroot reach their archives as the
# host does: extra CA certificates (for networks that intercept TLS), the apt
# Acquire settings that accept an archive whose Release file has expired, and
# pip's configuration files together with the local files they name.
debian_chroot_sync_host_settings() {
    local root="$1" file
    mkdir -p "$root/usr/local/share/ca-certificates"
    for file in /usr/local/share/ca-certificates/*.crt; do
        [ -e "$file" ] && cp "$file" "$root/usr/local/share/ca-certificates/"
    done
    debian_chroot_run "$root" update-ca-certificates >/dev/null

    apt-config dump | grep -E '^Acquire::(Check-Valid-Until|Check-Date|https?::Proxy) ' \
        >"$root/etc/apt/apt.conf.d/99host-acquire" || true

    local pip_files
    pip_files="$(python3 -m pip config debug 2>/dev/null |
        sed -n -E 's/^ +(\/[^,]+), exists: True$/\1/p')" || true
    for file in $pip_files $(python3 -m pip config list 2>/dev/null | sed -n -E "s/^[^=]+='(\/[^ ']+)'$/\1/p"); do
        case "$file" in
            "$root"/* | /etc/ssl/*) continue ;;
        esac
        if [ -f "$file" ]; then
            mkdir -p "$root$(dirname "$file")"
            cp "$file" "$root$file"
        fi
    done
}

debian_chroot_ensure() {
    local suite="$1"
    shift
    local root
    root="$(debian_chroot_dir)/$suite"
    mkdir -p "$(debian_chroot_dir)"
    (
        set -euo pipefail
        # One maker at a time per chroot; sessions that only run commands need no lock.
        exec 9>"$root.lock"
        flock 9
        if [ ! -e "$root/.quorvex-complete" ]; then
            if ! command -v debootstrap >/dev/null; then
                apt-get install -y -q -o DPkg::Lock::Timeout=600 debootstrap >&2 ||
                    { apt-get update -q >&2 && apt-get install -y -q -o DPkg::Lock::Timeout=600 debootstrap >&2; }
            fi
            local mirror
            mirror="$(debian_chroot_mirror)"
            echo "debian_chroot: making $suite from $mirror in $root" >&2
            if [ -e "$root" ]; then
                if findmnt -rn -o TARGET | grep -q "^$root/"; then
                    echo "debian_chroot: $root holds mounts; unmount them first" >&2
                    exit 1
                fi
                rm -rf --one-file-system "$root"
            fi
            # debootstrap mounts /proc and /sys in the target while it works; a
            # namespace of its own keeps them from outliving an interrupted run.
            unshare --mount --propagation private -- \
                debootstrap --variant=minbase --include=ca-certificates "$suite" "$root" "$mirror" >&2 ||
                { echo "debian_chroot: debootstrap of $suite failed" >&2; exit 1; }
            echo "deb $mirror $suite main" >"$root/etc/apt/sources.list"
            # A bind mount onto a symbolic link would land on the host's target.
            rm -f "$root/etc/resolv.conf"
            touch "$root/etc/resolv.conf"
            debian_chroot_sync_host_settings "$root"
            touch "$root/.quorvex-complete"
        else
            debian_chroot_sync_host_settings "$root"
        fi
        local -a missing=()
        local package
        for package in "$@"; do
            case "$(debian_chroot_run "$root" dpkg-query -W -f='${Status}' "$package" 2>/dev/null)" in
                "install ok installed") ;;
                *) missing+=("$package") ;;
            esac
        done
        if [ "${#missing[@]}" -gt 0 ]; then
            echo "debian_chroot: installing into $suite: ${missing[*]}" >&2
            debian_chroot_run "$root" dpkg --configure -a >&2
            debian_chroot_run "$root" apt-get update -q >&2
            debian_chroot_run "$root" apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
            debian_chroot_run "$root" apt-get clean >&2
        fi
    ) || return 1
    echo "$root"
}
