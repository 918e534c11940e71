# A minimal Debian chroot where qulo is built, packaged or tested on what
# this machine lacks. By default Debian unstable, which holds the newer
# CPython releases (NEWER_PYTHONS) with their headers and venv module, and a
# C++ compiler. Sourced after env.sh; needs root (debootstrap, chroot, mount).
#
#   chroot_configure NAME SUITE ARCH PACKAGES...
#                              another chroot: under build/NAME/, of the Debian
#                              SUITE for ARCH (arm64 on this x86-64 machine
#                              needs QEMU's binfmt_misc handler registered)
#   chroot_session "$@"        at the script's start: run the script again in
#                              a mount namespace of its own (below)
#   chroot_ensure              make the chroot, or reuse the one already made
#   chroot_enter               mount what the tests need; undone on exit
#   in_chroot COMMAND...       run a command in it
#   chroot_leave               undo what the script set up (run on exit)
#
# The chroot is kept under build/NAME/, named by a digest of what goes into
# it (suite, mirror, architecture, packages), so a second run reuses it and
# a changed list makes a new one. Inside it the checkout appears at its own
# path, so that paths mean the same inside and out: read-only, but for build/.
#
# QULO_BINFMT_DIR: where the kernel's binfmt_misc is, by default
# /proc/sys/fs/binfmt_misc (the tests point it at a folder of their own).

NEWER_PYTHONS=(3.14 3.15)
CHROOT_MIRROR="${QULO_DEBIAN_MIRROR:-http://deb.debian.org/debian}"
BINFMT_DIR="${QULO_BINFMT_DIR:-/proc/sys/fs/binfmt_misc}"

chroot_configure() {
    CHROOT_NAME="$1"
    CHROOT_SUITE="$2"
    CHROOT_ARCH="$3"
    shift 3
    CHROOT_PACKAGES=("$@")
    # The host's architecture adds nothing to the digest, so the default
    # chroot keeps the name it had.
    local arch_line=()
    [ "$CHROOT_ARCH" = "$(dpkg --print-architecture)" ] || arch_line=("$CHROOT_ARCH" unpacked)
    CHROOT_KEY="$(printf '%s\n' "$CHROOT_SUITE" "$CHROOT_MIRROR" minbase "${arch_line[@]}" \
        "${CHROOT_PACKAGES[@]}" | sha256sum | cut -c1-16)"
    CHROOT_BASE="$ROOT/build/$CHROOT_NAME"
    CHROOT_DIR="$CHROOT_BASE/$CHROOT_KEY"
}

chroot_configure chroot unstable "$(dpkg --print-architecture)" g++ \
    $(for v in "${NEWER_PYTHONS[@]}"; do echo "python$v python$v-dev python$v-venv"; done)

# Mount points at or under $1, deepest first, from the kernel's table (or
# the file $2 in its format, where spaces and the like come octal-escaped).
mounts_under() {
    local base
    base="$(realpath -m "$1")"
    awk -v base="$base" '
        function unescape(s) {
            gsub(/\\040/, " ", s); gsub(/\\011/, "\t", s); gsub(/\\012/, "\n", s)
            gsub(/\\134/, "\\", s)
            return s
        }
        { point = unescape($5) }
        point == base || index(point, base "/") == 1 { print point }
    ' "${2:-/proc/self/mountinfo}" | sort -r
}

# The chroot's mounts are made in a mount namespace of the script's own,
# with private propagation: where the host's mounts are shared (systemd's
# default), a bind made inside the checkout's bind would otherwise appear on
# the host too, over its build/. Nothing mounted in the namespace is seen
# outside it, and the namespace, with every mount in it, goes with the
# script's last process however that ends. Called before the script changes
# folder, with its arguments: the script runs again from its start in the
# namespace, as the same process. Where none can be had (not root, or the
# kernel refuses), the script goes on without one and chroot_enter refuses.
chroot_session() {
    ! in_chroot_session || return 0
    { [ "$(id -u)" -eq 0 ] && unshare -m --propagation private true 2>/dev/null; } || return 0
    QULO_CHROOT_SESSION=$$ exec unshare -m --propagation private bash "$0" "$@"
}

in_chroot_session() {
    [ "${QULO_CHROOT_SESSION:-}" = "$$" ]
}

# Set up before anything that must be undone, so that an interrupted script
# undoes it too.
chroot_traps() {
    trap chroot_leave EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
}

# Nothing may stay mounted below a folder before it is removed: the checkout
# is bound into the chroot, and removing through that binding would delete it.
unmount_all_under() {
    local point
    while read -r point; do
        [ -n "$point" ] || continue
        umount "$point" 2>/dev/null || umount -l "$point"
    done < <(mounts_under "$1")
    if [ -n "$(mounts_under "$1")" ]; then
        echo "error: cannot unmount everything under $1" >&2
        return 1
    fi
}

# One user of the chroot at a time: mounts and rebuilds would collide. The
# lock is held until the script exits.
chroot_lock() {
    [ -z "${CHROOT_LOCK_FD:-}" ] || return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "error: the $CHROOT_SUITE $CHROOT_ARCH chroot needs root" \
            "(debootstrap, chroot, mount)" >&2
        return 1
    fi
    mkdir -p "$CHROOT_BASE"
    exec {CHROOT_LOCK_FD}>"$CHROOT_BASE/lock"
    flock "$CHROOT_LOCK_FD"
}

# A chroot of another architecture runs its programs under QEMU's user-mode
# emulation: the kernel hands them to qemu-<arch>-static through a
# binfmt_misc handler, registered here if none is. The F flag opens the
# emulator now, so it need not exist inside the chroot. arm64 only.
# Handlers are the kernel's, not the namespace's: the one registered here
# would run every arm64 program on the machine through QEMU, and is removed
# on exit (one found already registered is left alone). binfmt_misc is
# mounted, where it is not, only in the script's own namespace.
chroot_binfmt() {
    [ "$CHROOT_ARCH" != "$(dpkg --print-architecture)" ] || return 0
    if [ "$CHROOT_ARCH" != arm64 ]; then
        echo "error: no emulation set up for $CHROOT_ARCH" >&2
        return 1
    fi
    apt_install qemu-user-static
    local dir="$BINFMT_DIR"
    chroot_traps
    if [ ! -e "$dir/register" ] && in_chroot_session &&
        mount -t binfmt_misc binfmt_misc "$dir" 2>/dev/null; then
        CHROOT_BINFMT_MOUNTED=1
    fi
    local entry
    for entry in "$dir"/*; do
        if [ -f "$entry" ] && grep -qx 'enabled' "$entry" &&
            grep -qx 'magic 7f454c460201010000000000000000000200b700' "$entry"; then
            return 0
        fi
    done
    local magic='\x7f\x45\x4c\x46\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00'
    local mask='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    if ! echo ":qulo-aarch64:M::$magic:$mask:/usr/bin/qemu-aarch64-static:F" \
        >"$dir/register" 2>/dev/null; then
        echo "error: cannot register QEMU for arm64 programs with binfmt_misc ($dir)" >&2
        return 1
    fi
    CHROOT_BINFMT_REGISTERED=1
}

chroot_ensure() {
    chroot_lock
    chroot_binfmt
    unmount_all_under "$CHROOT_BASE"   # the host's, if any: a run's own go with its namespace
    if [ -f "$CHROOT_DIR/.complete" ]; then
        echo "chroot: reusing $CHROOT_DIR"
        return 0
    fi
    apt_install debootstrap
    local old
    for old in "$CHROOT_BASE"/*/; do
        [ "$old" = "$CHROOT_DIR/" ] || rm -rf --one-file-system "$old"
    done
    local partial="$CHROOT_DIR.partial"
    rm -rf --one-file-system "$partial"
    local start=$SECONDS
    echo "chroot: debootstrap $CHROOT_SUITE $CHROOT_ARCH with ${CHROOT_PACKAGES[*]}"
    local include
    include="$(IFS=,; echo "${CHROOT_PACKAGES[*]}")"
    # Another architecture's packages are only unpacked (--foreign, then
    # the rest by dpkg-deb), not set up: their set-up scripts would run
    # under emulation, about ten minutes, and what runs there (an
    # interpreter and the programs it starts) needs none of it.
    local foreign=()
    [ "$CHROOT_ARCH" = "$(dpkg --print-architecture)" ] || foreign=(--foreign)
    debootstrap "${foreign[@]}" --arch="$CHROOT_ARCH" --variant=minbase --include="$include" \
        "$CHROOT_SUITE" "$partial" \
        "$CHROOT_MIRROR" >"$CHROOT_BASE/debootstrap.log" 2>&1 ||
        { tail -30 "$CHROOT_BASE/debootstrap.log" >&2; return 1; }
    if [ ${#foreign[@]} -gt 0 ]; then
        local deb
        for deb in "$partial"/var/cache/apt/archives/*.deb; do
            dpkg-deb -x "$deb" "$partial"
        done
    fi
    # The package cache is not needed again: the chroot is rebuilt, not upgraded.
    rm -rf "$partial"/var/cache/apt/archives/*.deb
    touch "$partial/.complete"
    mv "$partial" "$CHROOT_DIR"
    echo "chroot: made in $((SECONDS - start)) s"
}

# Copies of the host's files that let pip and name resolution work as they
# do on the host: the certificate bundle, pip's configuration, resolv.conf.
copy_host_config() {
    local path
    for path in /etc/resolv.conf /etc/hosts /etc/ssl/certs/ca-certificates.crt \
        /etc/pip.conf /etc/xdg/pip "$HOME/.config/pip" "$HOME/.pip"; do
        [ -e "$path" ] || continue
        rm -rf "${CHROOT_DIR:?}$path"
        mkdir -p "$(dirname "$CHROOT_DIR$path")"
        cp -rL "$path" "$CHROOT_DIR$path"
    done
}

# The namespace takes the chroot's mounts with it; they are unmounted here
# all the same. The handler is removed through binfmt_misc, so before it.
chroot_leave() {
    if [ -n "${CHROOT_ENTERED:-}" ]; then
        unmount_all_under "$CHROOT_DIR" || true
    fi
    if [ -n "${CHROOT_BINFMT_REGISTERED:-}" ]; then
        echo -1 >"$BINFMT_DIR/qulo-aarch64" 2>/dev/null ||
            echo "error: cannot remove the binfmt_misc handler qulo-aarch64" >&2
        CHROOT_BINFMT_REGISTERED=
    fi
    if [ -n "${CHROOT_BINFMT_MOUNTED:-}" ]; then
        umount "$BINFMT_DIR" || true
        CHROOT_BINFMT_MOUNTED=
    fi
}

chroot_enter() {
    if ! in_chroot_session; then
        echo "error: the $CHROOT_SUITE $CHROOT_ARCH chroot is mounted only in a mount" \
            "namespace of the script's own (root, unshare -m; chroot_session)" >&2
        return 1
    fi
    chroot_ensure
    copy_host_config
    chroot_traps
    CHROOT_ENTERED=1
    local dir="$CHROOT_DIR"
    mount -t proc proc "$dir/proc"
    # A devpts instance of its own, so that os.openpty() works and the
    # host's terminals stay out of reach; /dev/ptmx must lead to it.
    mkdir -p "$dir/dev/pts" "$dir/dev/shm"
    mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$dir/dev/pts"
    ln -sfn pts/ptmx "$dir/dev/ptmx"
    # POSIX semaphores (multiprocessing, and so Dask's worker processes).
    mount -t tmpfs -o mode=1777 shm "$dir/dev/shm"
    mkdir -p "$dir$ROOT"
    mount --bind "$ROOT" "$dir$ROOT"
    mount -o remount,bind,ro "$dir$ROOT"
    mount --bind "$ROOT/build" "$dir$ROOT/build"
}

in_chroot() {
    chroot "$CHROOT_DIR" /usr/bin/env -u VIRTUAL_ENV -u PYTHONPATH -u PYTHONHOME \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        "$@"
}
