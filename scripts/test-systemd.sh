#!/usr/bin/env bash
# Tries the oskserverd package as an administrator would: builds the package, installs it into a
# fresh Debian 12 root, boots that root with systemd-nspawn and checks the service under a real
# systemd. Needs root; installs debootstrap and systemd-nspawn when missing, and says it skipped
# when it cannot.
#
# The root is made once with debootstrap from this machine's own apt sources and kept, with the
# packages downloaded into it, in OSK_SYSTEMD_CACHE (default /var/cache/oskserver-test-systemd),
# outside the repository so that a fresh clone finds it. Every run boots a copy of it, so each run
# starts from the same fresh system. The container has a network of its own (loopback only).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="${BUILD_DIR:-$here/build}"
cache_dir="${OSK_SYSTEMD_CACHE:-/var/cache/oskserver-test-systemd}"
cached_root="$cache_dir/bookworm"
port=1033

say() { echo "test-systemd: $*"; }
skip() {
  say "SKIPPED: $*"
  exit "${OSK_SKIP_STATUS:-0}"
}

# Under ctest (which sets OSK_SKIP_STATUS) it runs only when asked for: it takes minutes.
[ -z "${OSK_SKIP_STATUS:-}" ] || [ "${OSK_TEST_SYSTEMD:-}" = 1 ] || skip "set OSK_TEST_SYSTEMD=1 to boot the package"
[ "$(id -u)" -eq 0 ] || skip "needs root (systemd-nspawn boots the package in a container)"
if ! command -v systemd-nspawn >/dev/null || ! command -v debootstrap >/dev/null; then
  export DEBIAN_FRONTEND=noninteractive
  tools=(systemd-container debootstrap)
  if ! apt-get install -y -qq --no-install-recommends "${tools[@]}" >/dev/null 2>&1 &&
    ! { apt-get update -qq && apt-get install -y -qq --no-install-recommends "${tools[@]}" >/dev/null; }; then
    skip "systemd-nspawn and debootstrap cannot be installed on this machine"
  fi
fi

# --- the fresh Debian 12 root, made once ---------------------------------------------------------

# The Debian archive this machine installs bookworm from.
debian_mirror() {
  apt-get indextargets --format '$(RELEASE) $(REPO_URI)' 'Created-By: Packages' |
    awk '$1 == "bookworm" { print $2; exit }'
}

make_cached_root() {
  local mirror partial started
  mirror="$(debian_mirror)"
  [ -n "$mirror" ] || {
    say "FAIL: this machine's apt sources name no bookworm archive"
    exit 1
  }
  partial="$cached_root.partial"
  rm -rf "$partial"
  say "making a fresh Debian 12 root from $mirror in $cached_root (once)"
  started=$SECONDS
  debootstrap --variant=minbase --include=systemd,systemd-sysv,dbus bookworm "$partial" "$mirror" \
    >"$cache_dir/debootstrap.log" 2>&1 || {
    say "FAIL: debootstrap failed; see $cache_dir/debootstrap.log"
    exit 1
  }
  systemd-nspawn -q --register=no --keep-unit -D "$partial" apt-get update -qq >>"$cache_dir/debootstrap.log" 2>&1
  # Made by the first boot of each copy instead, so that no two copies share a machine id.
  : >"$partial/etc/machine-id"
  mv "$partial" "$cached_root"
  say "root made in $((SECONDS - started)) s"
}

mkdir -p "$cache_dir/archives/partial"
exec 9>"$cache_dir/lock"
# Another run may be making the root or installing into its copy from the shared downloads.
flock -w 1800 9 || {
  say "FAIL: the cache in $cache_dir stayed locked for 30 minutes"
  exit 1
}
[ -d "$cached_root" ] || make_cached_root

# --- the package ---------------------------------------------------------------------------------

work="$(mktemp -d /var/tmp/osk-systemd.XXXXXX)"
nspawn_pid=""
leader=""
stop_container() {
  if [ -n "$nspawn_pid" ] && kill -0 "$nspawn_pid" 2>/dev/null; then
    # systemd-nspawn passes SIGTERM on as a power-off; the container's systemd stops its services.
    kill -TERM "$nspawn_pid" 2>/dev/null || true
    for _ in $(seq 1 60); do
      kill -0 "$nspawn_pid" 2>/dev/null || break
      sleep 0.5
    done
    if kill -0 "$nspawn_pid" 2>/dev/null; then
      say "the container did not power off within 30 s; killing it"
      kill -KILL "$nspawn_pid" 2>/dev/null || true
    fi
    wait "$nspawn_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap stop_container EXIT
trap "exit 1" INT TERM

[ -f "$build_dir/CMakeCache.txt" ] || BUILD_DIR="$build_dir" "$here/scripts/build.sh" >/dev/null
cmake --build "$build_dir" --target oskserverd >/dev/null
mkdir -p "$work/pkg"
(cd "$build_dir" && cpack -G DEB -D CPACK_COMPONENTS_ALL=server -B "$work/cpack" >"$work/cpack.log" 2>&1) || {
  cat "$work/cpack.log"
  say "FAIL: the package could not be built"
  exit 1
}
mv "$work"/cpack/oskserverd_*.deb "$work/pkg/"
package="$(basename "$work"/pkg/oskserverd_*.deb)"
depends="$(dpkg-deb -f "$work/pkg/$package" Depends)"
[ -n "$depends" ] || {
  say "FAIL: $package names no dependencies"
  exit 1
}
say "built $package (Depends: $depends)"

# --- install into a copy of the root, then boot it -----------------------------------------------

started=$SECONDS
cp -a --reflink=auto "$cached_root" "$work/root"
nspawn_common=(-q --register=no --keep-unit -D "$work/root" --bind-ro="$work/pkg:/mnt/pkg")
# Installed as an administrator would, and enabled before the first boot: the boot itself must
# bring the service up.
systemd-nspawn "${nspawn_common[@]}" --bind="$cache_dir/archives:/var/cache/apt/archives" \
  sh -c "apt-get install -y -q /mnt/pkg/$package && systemctl enable oskserverd.service" \
  >"$work/install.log" 2>&1 || {
  cat "$work/install.log"
  say "FAIL: the package did not install into a fresh Debian 12 root"
  exit 1
}
flock -u 9

systemd-nspawn "${nspawn_common[@]}" -b --private-network --console=read-only \
  --machine="osk-systemd-$$" >"$work/console.log" 2>&1 &
nspawn_pid=$!

# The container's init is the child of systemd-nspawn that runs systemd (a short-lived helper
# child comes first); bounded wait for it.
for _ in $(seq 1 100); do
  for child in $(ps -o pid= --ppid "$nspawn_pid"); do
    [ "$(cat "/proc/$child/comm" 2>/dev/null)" = systemd ] && leader="$child"
  done
  [ -n "$leader" ] && break
  sleep 0.1
done
[ -n "$leader" ] || {
  cat "$work/console.log"
  say "FAIL: the container did not start"
  exit 1
}

# A command inside the booted container, in all its namespaces.
inside() {
  nsenter --target "$leader" --all --root --wd -- \
    env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 SYSTEMD_PAGER= "$@"
}

passed=0
failed=0
check() {
  local name="$1"
  shift
  if "$@"; then
    say "PASS: $name"
    passed=$((passed + 1))
  else
    say "FAIL: $name"
    failed=$((failed + 1))
  fi
}

booted() {
  local state
  # systemctl reaches the manager through this socket, made early in the boot.
  for _ in $(seq 1 300); do
    inside test -S /run/systemd/private && break
    sleep 0.1
  done
  state="$(inside timeout 120 systemctl is-system-running --wait || true)"
  say "boot ended '$state' after $((SECONDS - started)) s"
  [ "$state" = running ] || [ "$state" = degraded ]
}
if ! booted; then
  cat "$work/console.log"
  say "FAIL: the container did not boot"
  exit 1
fi
inside systemctl --failed --no-legend | sed 's/^/  failed unit: /'

unit_property() { inside systemctl show -p "$1" --value oskserverd.service; }

active_after_boot() {
  local state
  # A Type=notify service that has booted is active only once it listens.
  for _ in $(seq 1 100); do
    state="$(inside systemctl is-active oskserverd.service || true)"
    [ "$state" = activating ] || break
    sleep 0.1
  done
  [ "$state" = active ] || {
    say "  state '$state'"
    inside journalctl -u oskserverd.service --no-pager -o cat | tail -n 20
    return 1
  }
}
check "the service is active after boot" active_after_boot

# A client on the container's loopback reads the greeting.
client_connected() {
  local reply
  reply="$(inside timeout 10 bash -c "exec 3<>/dev/tcp/127.0.0.1/${1:-$port} && read -r -N 9 -t 5 reply <&3; printf %s \"\$reply\"" || true)"
  [ "$reply" = CONNECTED ] || {
    say "  the client read '$reply'"
    return 1
  }
}
check "a client gets CONNECTED" client_connected

log_file="$work/root/var/lib/oskserver/Log/$(date +%d%m%Y).log"
saved_blocks() { grep -c '^\[END ' "$log_file" 2>/dev/null || true; }

# TimeoutStopSec bounds the stop; the log must be saved within it.
stops_with_log_saved() {
  local before
  before="$(saved_blocks)"
  inside timeout 10 systemctl stop oskserverd.service && [ "$(saved_blocks)" -eq $((${before:-0} + 1)) ]
}
check "systemctl stop ends the service with its log saved" stops_with_log_saved


# Another program holds the port: the start cannot succeed, and trying again will not help.
fails_for_good_with_its_reason() {
  local since failed_after state
  inside systemd-run -q --unit=osk-port-holder /usr/bin/oskserverd --home /var/tmp/osk-port-holder
  for _ in $(seq 1 100); do
    inside bash -c "exec 3<>/dev/tcp/127.0.0.1/$port" 2>/dev/null && break
    sleep 0.1
  done
  since="$(inside date '+%Y-%m-%d %H:%M:%S')"
  from=$SECONDS
  inside timeout 40 systemctl start oskserverd.service 2>/dev/null && {
    say "  the start succeeded"
    return 1
  }
  failed_after=""
  for _ in $(seq 1 300); do
    state="$(inside systemctl is-active oskserverd.service || true)"
    if [ "$state" = failed ]; then
      failed_after=$((SECONDS - from))
      break
    fi
    sleep 0.1
  done
  inside systemctl stop osk-port-holder.service
  [ -n "$failed_after" ] || {
    say "  still '$state' after 30 s"
    return 1
  }
  say "  failed after $failed_after s, exit status $(unit_property ExecMainStatus)," \
    "$(unit_property NRestarts) restarts"
  local warnings
  warnings="$(inside journalctl -u oskserverd.service -p warning --since "$since" --no-pager -o cat)"
  # (Leaving out systemd's complaints about this host's cgroups, which are none of the service's.)
  printf '%s\n' "$warnings" | grep -v 'Failed to kill control group' | sed 's/^/  journal (warning or above): /'
  [ "$(unit_property NRestarts)" = 0 ] &&
    grep -q "El puerto $port ya está siendo utilizado" <<<"$warnings" &&
    grep -q "El servicio no se ha podido iniciar." <<<"$warnings"
}
check "a start that cannot succeed ends failed within 30 s, its reason at warning or above" \
  fails_for_good_with_its_reason

inside systemctl reset-failed oskserverd.service

inside timeout 30 systemctl start oskserverd.service || say "  the service did not start again"

# Right after a start that failed, then succeeded: the old process is stopped (its log saved) and
# the new executable runs.
reinstall_restarts_on_new_binary() {
  local before after exe blocks
  before="$(unit_property MainPID)"
  blocks="$(saved_blocks)"
  inside dpkg -i "/mnt/pkg/$package" >"$work/reinstall.log" 2>&1 || {
    cat "$work/reinstall.log"
    return 1
  }
  after="$(unit_property MainPID)"
  exe="$(inside readlink "/proc/$after/exe" || true)"
  say "  main process $before before, $after after, running '$exe'"
  grep -i 'oskserverd' "$work/reinstall.log" | grep -iv 'unpack\|setting up\|selecting\|preparing' | sed 's/^/  dpkg: /'
  [ "$after" != 0 ] && [ "$after" != "$before" ] && [ "$exe" = /usr/bin/oskserverd ] &&
    [ "$(saved_blocks)" -eq $((${blocks:-0} + 1)) ]
}
check "a reinstall restarts the service on the new binary" reinstall_restarts_on_new_binary

purge_leaves_no_unit_link() {
  inside dpkg --purge oskserverd >"$work/purge.log" 2>&1 || {
    cat "$work/purge.log"
    return 1
  }
  local links
  links="$(inside find /etc/systemd/system -name oskserverd.service)"
  [ -z "$links" ] || {
    say "  left: $links"
    return 1
  }
  [ "$(inside systemctl is-active oskserverd.service || true)" != active ]
}
check "a purge leaves no unit link and no running service" purge_leaves_no_unit_link

say "$passed checks passed, $failed failed ($((SECONDS - started)) s from install to purge)"
[ "$failed" -eq 0 ]
