# shellcheck shell=bash
# Fresh Debian roots for building and checking the package, sourced by
# scripts/package.d/build_in_root.sh and tests/package/fresh_install.sh.
#
# A root is made with mmdebstrap (variant apt, plus the packages asked for)
# from the Debian mirror of this machine's apt sources, and kept as a tarball
# in $LW_CACHE_DIR (default ~/.cache/linewatch) for a week; the packages apt
# downloads in a root are kept there too. The repository names no mirror of
# its own. Needs root (chroot, mounts).

LW_CACHE=${LW_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/linewatch}
PATH="$PATH:/usr/sbin:/sbin"

# The Debian release number of a code name, for messages.
debian_number() {
  case "$1" in
    bookworm) echo 12 ;;
    trixie) echo 13 ;;
    *) echo "$1" ;;
  esac
}

# The Debian mirror of this machine's apt sources (deb822 or one-line form).
debian_mirror() {
  grep -hE '^(URIs:|deb )' /etc/apt/sources.list /etc/apt/sources.list.d/* 2>/dev/null |
    grep -Eo 'https?://[^ ]+/debian/?( |$)' | head -n 1 | tr -d ' ' | sed 's,/$,,' || true
}

# root_tarball RELEASE NAME [PACKAGE...]: prints the path of a cached root of
# RELEASE with the packages installed, making it when it is missing or older
# than a week. Fails, saying why, when the mirror cannot be reached.
root_tarball() {
  local release=$1 name=$2
  shift 2
  local mirror security include
  mirror=$(debian_mirror)
  [ -n "$mirror" ] || {
    echo "no Debian mirror in this machine's apt sources (/etc/apt/sources.list*)" >&2
    return 1
  }
  security=${mirror%/debian}/debian-security
  mkdir -p "$LW_CACHE/archives/partial"
  local tarball="$LW_CACHE/$name.tar"
  # mmdebstrap picks the format by the name ending.
  local fresh="$LW_CACHE/$name.new.tar"
  if [ -z "$(find "$tarball" -mtime -7 2>/dev/null)" ]; then
    echo "-- making a Debian $(debian_number "$release") root from $mirror (cached in $tarball)" >&2
    include=()
    if [ $# -gt 0 ]; then include=("--include=$(
      IFS=,
      echo "$*"
    )"); fi
    if ! mmdebstrap --quiet --variant=apt --mode=root "${include[@]}" \
      "$release" "$fresh" \
      "deb $mirror $release main" "deb $mirror $release-updates main" \
      "deb $security $release-security main" >&2; then
      rm -f "$fresh"
      echo "cannot make a Debian $(debian_number "$release") root: is the Debian mirror $mirror reachable from here?" >&2
      return 1
    fi
    mv "$fresh" "$tarball"
  fi
  echo "$tarball"
}

# Mounts /proc, /dev and the package cache in $ROOT and gives it the
# machine's name servers.
root_mount() {
  mount -t proc proc "$ROOT/proc"
  mount --bind /dev "$ROOT/dev"
  mount --bind /dev/pts "$ROOT/dev/pts"
  mkdir -p "$ROOT/var/cache/apt/archives"
  mount --bind "$LW_CACHE/archives" "$ROOT/var/cache/apt/archives"
  cp -L /etc/resolv.conf "$ROOT/etc/resolv.conf"
}

# root_enter TARBALL: unpacks the root into a new folder under /var/tmp,
# mounts /proc, /dev and the package cache in it and sets ROOT. root_leave
# undoes it all; call it from an EXIT trap.
root_enter() {
  ROOT=$(mktemp -d /var/tmp/lwroot.XXXXXX)
  tar -C "$ROOT" -xf "$1"
  root_mount
}

# root_enter_overlay TARBALL: like root_enter, but the root is an overlay on
# the tarball unpacked once in the cache beside it (unpacking a root with a
# compiler and Qt takes longer than building the programs with a warm
# compiler cache); what is written in it goes to a scratch layer under
# /var/tmp and is gone with root_leave.
root_enter_overlay() {
  local tarball=$1 lower=${1%.tar}.dir
  if [ ! -f "$lower.stamp" ] || [ "$tarball" -nt "$lower.stamp" ]; then
    rm -rf --one-file-system "$lower" "$lower.stamp"
    mkdir -p "$lower"
    tar -C "$lower" -xf "$tarball"
    touch "$lower.stamp"
  fi
  SCRATCH=$(mktemp -d /var/tmp/lwroot-layer.XXXXXX)
  mkdir -p "$SCRATCH/upper" "$SCRATCH/work" "$SCRATCH/root"
  mount -t overlay overlay -o "lowerdir=$lower,upperdir=$SCRATCH/upper,workdir=$SCRATCH/work" \
    "$SCRATCH/root"
  ROOT=$SCRATCH/root
  root_mount
}

root_leave() {
  [ -n "${ROOT:-}" ] && [ -d "$ROOT" ] || return 0
  local mount
  # Whatever else was mounted below the root, deepest first.
  awk -v r="$ROOT/" 'index($2, r) == 1 { print $2 }' /proc/mounts | sort -r |
    while read -r mount; do umount -l "$mount" 2>/dev/null || true; done
  if [ -n "${SCRATCH:-}" ]; then
    umount "$ROOT" 2>/dev/null || umount -l "$ROOT" 2>/dev/null || true
    rm -rf --one-file-system "$SCRATCH"
    SCRATCH=""
  else
    rm -rf --one-file-system "$ROOT"
  fi
  ROOT=""
}

# in_root CMD...: runs CMD in the root as root with a clean environment.
in_root() {
  chroot "$ROOT" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"
}
