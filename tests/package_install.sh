#!/usr/bin/env bash
# The package installed as a host installs it, into a throwaway copy of a fresh Debian root
# (debootstrap): apt-get install ./quarn-server_*.deb, then the user, the save folder, the
# conffile, the enabled service, and the server run as quarn on /var/lib/quarn with the
# defaults file's options; a purge keeps the world. tests/package_install.sh DIR
# Runs only as root with QUARN_DEBIAN_ROOT naming such a root (left unchanged: the install
# goes to an overlay); otherwise it says why and is skipped (status 77).
# shellcheck disable=SC2016 # a $ in the patterns and formats below is meant literally
set -euo pipefail
dir=$(realpath "$1")
base=${QUARN_DEBIAN_ROOT:-}
if [ -z "$base" ] || [ ! -x "$base/usr/bin/apt-get" ]; then
  echo "skipped: QUARN_DEBIAN_ROOT names no Debian root; make one with"
  echo "  debootstrap bookworm DIR MIRROR, then QUARN_DEBIAN_ROOT=DIR ctest -L package"
  exit 77
fi
if [ "$(id -u)" -ne 0 ] || ! command -v unshare >/dev/null; then
  echo "skipped: installing into a Debian root needs root and unshare"
  exit 77
fi

# In a mount namespace of its own, so that every mount goes when the test ends.
if [ -z "${QUARN_IN_NAMESPACE:-}" ]; then
  exec env QUARN_IN_NAMESPACE=1 unshare --mount --propagation private "$0" "$@"
fi
work=$(mktemp -d /tmp/quarn-install.XXXXXX)
root=$work/root
# Ends what the test started in the root (a server a failed check left running), then
# unmounts; nothing under the root is removed while anything is mounted there.
cleanUp() {
  local proc
  for proc in /proc/[0-9]*; do
    if [ "$(readlink "$proc/root" 2>/dev/null)" = "$root" ]; then kill -KILL "${proc#/proc/}"; fi
  done
  sleep 0.2
  if mountpoint -q "$root"; then umount -R "$root"; fi
  if mountpoint -q "$root"; then echo "left $work: $root is still mounted"; else rm -rf "$work"; fi
}
trap cleanUp EXIT
mkdir "$work/upper" "$work/work" "$root"
mount -t overlay overlay -o "lowerdir=$base,upperdir=$work/upper,workdir=$work/work" "$root"
mount -t proc proc "$root/proc"
cp /etc/resolv.conf "$root/etc/resolv.conf"
debs=("$dir"/quarn-server_*.deb)
cp "${debs[0]}" "$root/tmp/"
deb=/tmp/$(basename "${debs[0]}")

failed=0
passed=0
# inRoot COMMAND...: runs it in the root, as root, in a clean environment.
inRoot() {
  chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"
}
# check WHAT WANT COMMAND...: COMMAND prints WANT.
check() {
  local what=$1
  local want=$2
  local got
  shift 2
  got=$("$@" 2>&1) || true
  if [ "$got" = "$want" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf 'FAILED: %s\n  wanted: %s\n  got:    %s\n' "$what" "$want" "$got"
  fi
}
homeAndShell() {
  inRoot getent passwd quarn | cut -d: -f6,7
}
systemUid() {
  local uid
  uid=$(inRoot id -u quarn)
  if [ "$uid" -lt 1000 ]; then echo yes; else echo "no: $uid"; fi
}
conffiles() {
  inRoot dpkg-query -W -f '${Conffiles}\n' quarn-server | awk 'NF { print $1 }'
}
# The user a process runs as, by its name in the root.
userOf() {
  local uid
  uid=$(awk '/^Uid:/ { print $2 }' "/proc/$1/status")
  inRoot getent passwd "$uid" | cut -d: -f1
}
# deb-systemd-helper links the unit by the first path it finds it at (/lib or /usr/lib).
enabled() {
  local link=/etc/systemd/system/multi-user.target.wants/quarn-server.service
  case "$(readlink "$root$link")" in
  */systemd/system/quarn-server.service) echo enabled ;;
  *) echo "not enabled" ;;
  esac
}
gone() {
  if [ -e "$root$1" ]; then echo "still there"; else echo gone; fi
}
kept() {
  if [ -s "$root$1" ]; then echo kept; else echo "not kept"; fi
}
apt() {
  inRoot env DEBIAN_FRONTEND=noninteractive apt-get -y -q "$@" >>"$work/apt.log" 2>&1 || {
    cat "$work/apt.log"
    exit 1
  }
}

apt update
apt install "$deb"
grep -E "^(Unpacking|Setting up) quarn-server" "$work/apt.log"

version=$(inRoot quarn-server --version)
check "the installed server's version is the package's" "$version" \
  inRoot dpkg-query -W -f 'quarn-server ${Version}' quarn-server
check "the system user quarn, at home in /var/lib/quarn, without a shell" \
  "/var/lib/quarn:/usr/sbin/nologin" homeAndShell
check "quarn's uid is a system one" yes systemUid
check "the save folder is quarn's, mode 750" "quarn:quarn 750" \
  inRoot stat -c '%U:%G %a' /var/lib/quarn
check "the defaults file is a conffile" /etc/default/quarn-server conffiles
check "the service is enabled" enabled enabled

# The server as the service runs it: as quarn, with the defaults file's options.
chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin bash -c 'set -a
  . /etc/default/quarn-server
  exec runuser -u quarn -- /usr/bin/quarn-server --headless $QUARN_OPTIONS' \
  </dev/null >"$work/out" 2>&1 &
runner=$!
for _ in $(seq 100); do
  grep -q "Server: Starting" "$work/out" && break
  sleep 0.1
done
sleep 1
# The server's process id is in its lock file.
pid=$(head -c 20 "$root/var/lib/quarn/lock" | tr -cd 0-9)
check "it runs as quarn" quarn userOf "$pid"
kill -TERM "$pid"
status=0
wait "$runner" || status=$?
check "a SIGTERM stops it with a save" "0 Server: Stopping + Saving" \
  echo "$status" "$(grep -o 'Server: Stopping + Saving' "$work/out")"
check "its world is quarn's, in /var/lib/quarn" quarn inRoot stat -c %U /var/lib/quarn/world

# A purge removes the programs and the unit, and keeps the user and the world.
apt purge quarn-server
check "a purge removes the server" gone gone /usr/bin/quarn-server
check "and the unit" gone gone /usr/lib/systemd/system/quarn-server.service
check "and keeps the world" kept kept /var/lib/quarn/world
check "and the user" "/var/lib/quarn:/usr/sbin/nologin" homeAndShell

echo "install checks: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
