# The Debian 13 root in which the Windows tests run under Wine 10 (sourced by
# scripts/install-deps and scripts/test-windows). The host builds; the root only runs.
#
# The root is made once per machine from Debian's packages and shared by every work
# tree. It is whole when its stamp file exists: the stamp is written last, so a root
# whose making was interrupted is made again, and it holds a digest of what the root
# is made from, so a change of the package list makes it again. Its packages come
# from the Debian mirror that the machine's own apt uses (scripts/apt-sources.sh),
# through apt's proxy if it has one.

. "$(dirname "${BASH_SOURCE[0]}")/apt-sources.sh"

VELK_WINE_ROOT=/var/lib/velk-wine10/root
VELK_WINE_ROOT_SUITE=trixie
VELK_WINE_ROOT_PACKAGES=(
  # Wine 10, with Mesa's software Vulkan driver for its Direct3D (WINE_D3D_CONFIG=renderer=vulkan)
  wine wine64 mesa-vulkan-drivers libvulkan1
  # Media Foundation decodes MP3 through GStreamer under Wine
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-ugly gstreamer1.0-libav
  # the virtual display, ctest, and what the end-to-end tests drive the display with
  xvfb cmake python3 xdotool imagemagick
)

# The mirror the root is made from: the URI of Debian's main archive in the machine's
# apt sources (the release's suite is the host's, the root's is fetched from the
# same archive).
velk_wine_root_mirror() {
  local archive
  archive=$(velk_debian_archive) || return 1
  echo "${archive%% *}"
}

# The stamp of a root made from MIRROR (by default the machine's mirror now).
velk_wine_root_stamp() {
  local mirror=${1:-}
  if [ -z "$mirror" ]; then
    mirror=$(velk_wine_root_mirror) || return 1
  fi
  printf '%s\n' "$VELK_WINE_ROOT_SUITE" "$mirror" "${VELK_WINE_ROOT_PACKAGES[@]}" | sha256sum | cut -c1-16
}

# True when the root at $1 is whole and made from what it is made from now (from
# MIRROR, by default the machine's mirror now).
velk_wine_root_is_current() {
  local stamp
  stamp=$(velk_wine_root_stamp "${2:-}") || return 1
  [ "$(cat "$1/.velk-root-stamp" 2>/dev/null)" = "$stamp" ]
}

# Runs a command in the root at $1 in a mount and PID namespace of its own: /proc,
# /sys, /dev and the host's /tmp (so displays and their locks are shared with the
# host) are mounted there, plus each further directory given as --bind DIR at the
# same path. Everything the command starts dies with it and every mount vanishes with
# the namespace, whichever way it ends; several runs at once do not meet.
#   velk_wine_root_run ROOT [--bind DIR]... -- COMMAND...
velk_wine_root_run() {
  local root=$1
  shift
  local binds=()
  while [ "$1" != "--" ]; do
    binds+=("$2")
    shift 2
  done
  shift
  # The namespaces and chroot need root; a caller who is not runs the command as
  # itself inside.
  local sudo=() user=(env)
  if [ "$(id -u)" -ne 0 ]; then
    sudo=(sudo)
    user=(setpriv --reuid="$(id -u)" --regid="$(id -g)" --clear-groups env)
  fi
  # unshare dies with the caller (also when the caller is killed outright), and the
  # namespace's first process with unshare, and every other one with it.
  "${sudo[@]}" setpriv --pdeathsig KILL unshare --mount --propagation private --pid --fork --kill-child -- bash -c '
    set -e
    root=$1
    shift
    mount -t proc proc "$root/proc"
    mount --rbind /sys "$root/sys"
    mount --rbind /dev "$root/dev"
    mount --bind /tmp "$root/tmp"
    while [ "$1" != "--" ]; do
      mkdir -p "$root$1"
      mount --bind "$1" "$root$1"
      shift
    done
    shift
    user=()
    while [ "$1" != "env" ]; do
      user+=("$1")
      shift
    done
    shift
    exec chroot "$root" "${user[@]}" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      TERM="${TERM:-dumb}" LANG=C.UTF-8 "$@"
  ' velk-wine-root "$root" "${binds[@]}" -- "${user[@]}" "$@"
}

# Makes the root at $1 unless it is whole and current; prints how long it took.
velk_wine_root_make() {
  local root=$1 mirror proxy
  mirror=$(velk_wine_root_mirror) || return 1
  # debootstrap (wget) and the root's apt take the proxy from the environment.
  local proxy_env=()
  proxy=$(velk_apt_proxy "$mirror")
  if [ -n "$proxy" ]; then
    case $mirror in
      https:*) proxy_env=("https_proxy=$proxy") ;;
      *) proxy_env=("http_proxy=$proxy") ;;
    esac
  fi
  velk_wine_root_is_current "$root" "$mirror" && return 0
  mkdir -p "$(dirname "$root")"
  # One maker at a time; a test run holds the lock shared while it uses the root.
  exec 9>"$root.lock"
  flock 9
  if velk_wine_root_is_current "$root" "$mirror"; then
    exec 9>&-
    return 0
  fi
  local new="$root.new"
  if grep -q -e " $root[/ ]" -e " $new[/ ]" /proc/self/mountinfo; then
    echo "install-deps: something is mounted in $root or $new; not touching it" >&2
    return 1
  fi
  local start=$SECONDS log
  log=$(mktemp)
  local through=""
  [ -n "$proxy" ] && through=" through apt's proxy"
  echo "install-deps: making the Debian 13 root for the Windows tests in $root from $mirror$through"
  rm -rf "$new"
  if ! env "${proxy_env[@]}" debootstrap --variant=minbase "$VELK_WINE_ROOT_SUITE" "$new" "$mirror" >"$log" 2>&1; then
    tail -n 20 "$log" >&2
    rm -f "$log"
    return 1
  fi
  local bootstrapped=$((SECONDS - start))
  cp /etc/resolv.conf "$new/etc/resolv.conf"
  if ! velk_wine_root_run "$new" -- "${proxy_env[@]}" bash -c '
       export DEBIAN_FRONTEND=noninteractive
       apt-get update -qq && apt-get install -y -qq --no-install-recommends "$@" && apt-get clean
     ' install "${VELK_WINE_ROOT_PACKAGES[@]}" >"$log" 2>&1; then
    tail -n 20 "$log" >&2
    rm -f "$log"
    return 1
  fi
  rm -f "$log"
  velk_wine_root_stamp "$mirror" >"$new/.velk-root-stamp"
  local made=$((SECONDS - start))
  # A root still in use (by a run that holds no lock) is replaced once it is free.
  local p waited=0
  while :; do
    for p in /proc/[0-9]*; do
      [ "$(readlink "$p/root" 2>/dev/null)" = "$root" ] && break
      p=""
    done
    [ -z "$p" ] && break
    [ "$waited" = 0 ] && echo "install-deps: waiting for process ${p#/proc/}, which runs in $root"
    waited=1
    sleep 5
  done
  rm -rf "$root"
  mv "$new" "$root"
  exec 9>&-
  echo "install-deps: made the root in $made s (debootstrap $bootstrapped s," \
    "packages $((made - bootstrapped)) s), $(du -sh "$root" | cut -f1)"
}
