#!/usr/bin/env bash
# The Debian package as built by scripts/package in DIR: its metadata, files, modes and
# maintainer scripts, the service's unit and defaults, and its programs (no window library;
# the server serves headless without --headless): tests/package_check.sh DIR
# shellcheck disable=SC2016 # a $ in the patterns and formats below is meant literally
set -euo pipefail
dir=$(realpath "$1")
debs=("$dir"/quarn-server_*.deb)
deb=${debs[0]}
work=$(mktemp -d /tmp/quarn-package.XXXXXX)
server=""
trap 'if [ -n "$server" ]; then kill "$server" 2>/dev/null || true; fi; rm -rf "$work"' EXIT
failed=0
passed=0

# check WHAT COMMAND...: runs COMMAND and counts the result; what it printed is shown only
# when it failed.
check() {
  local what=$1
  local printed
  shift
  if printed=$("$@" 2>&1); then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $what"
    echo "$printed"
  fi
}

# same WANT GOT: the two texts are equal, or both are shown.
same() {
  [ "$1" = "$2" ] && return 0
  printf '  wanted: %s\n  got:    %s\n' "$1" "$2"
  return 1
}

field() {
  dpkg-deb --field "$deb" "$1"
}

# dependsOn NAME DEPENDS: NAME is one of the packages in the Depends field DEPENDS.
dependsOn() {
  [[ ", $2," == *", $1 "* || ", $2," == *", $1,"* ]]
}

# lacks PATTERN TEXT: no line of TEXT matches the extended regular expression, any case.
lacks() {
  if grep -Ei "$1" <<<"$2"; then return 1; fi
}

# A window, display, font or image library, by the name of its package or shared object.
windowLibraries="sdl|libx11|libxext|libgl|libegl|libdrm|wayland|freetype|ttf|jpeg|tiff|webp"

isPng() {
  file "$1" | grep -q "PNG image data"
}

echo "package: $deb"
check "exactly one package in $dir" same 1 "${#debs[@]}"

# Metadata: the version is the server's own, the dependencies what dpkg-shlibdeps found.
version=$("$dir/quarn-server" --version)
check "Package" same quarn-server "$(field Package)"
check "Version is that of --version" same "$version" "quarn-server $(field Version)"
check "Architecture" same "$(dpkg --print-architecture)" "$(field Architecture)"
check "Section" same games "$(field Section)"
depends=$(field Depends)
echo "Depends: $depends"
for needed in systemd libc6 libstdc++6 libsodium23 libsystemd0 libmicrohttpd12 libpng16-16; do
  check "Depends on $needed" dependsOn "$needed" "$depends"
done
check "Depends on no window library" lacks "$windowLibraries" "${depends//, /$'\n'}"

# The files, each with its mode and owner, and nothing else but their folders.
listing=$(dpkg-deb --contents "$deb" | awk '{ print $1, $2, $6 }')
folders=$(grep '^d' <<<"$listing" | cut -d' ' -f1,2 | sort -u)
check "folders are root's, mode 755" same "drwxr-xr-x root/root" "$folders"
files=$(grep -v '^d' <<<"$listing" | sort)
expected="-rw-r--r-- root/root ./etc/default/quarn-server
-rw-r--r-- root/root ./usr/lib/systemd/system/quarn-server.service
-rw-r--r-- root/root ./usr/lib/sysusers.d/quarn-server.conf
-rw-r--r-- root/root ./usr/lib/tmpfiles.d/quarn-server.conf
-rwxr-xr-x root/root ./usr/bin/quarn-bots
-rwxr-xr-x root/root ./usr/bin/quarn-map
-rwxr-xr-x root/root ./usr/bin/quarn-server"
check "files, modes and owners" same "$expected" "$files"

# The maintainer scripts and the conffile.
dpkg-deb --control "$deb" "$work/control"
check "the defaults file is the one conffile" \
  same /etc/default/quarn-server "$(cat "$work/control/conffiles")"
for script in postinst prerm postrm; do
  check "$script is executable" test -x "$work/control/$script"
  check "$script is valid sh" sh -n "$work/control/$script"
done
check "postinst makes the user from the shipped sysusers file" \
  grep -q '^ *systemd-sysusers /usr/lib/sysusers.d/quarn-server.conf$' "$work/control/postinst"
check "postinst makes the folder from the shipped tmpfiles file" \
  grep -q '^ *systemd-tmpfiles --create /usr/lib/tmpfiles.d/quarn-server.conf$' \
  "$work/control/postinst"
check "postinst enables the service" \
  grep -q 'deb-systemd-helper enable quarn-server.service' "$work/control/postinst"

# What the service is made of.
root="$work/root"
dpkg-deb --extract "$deb" "$root"
unit="$root/usr/lib/systemd/system/quarn-server.service"
check "sysusers: the system user quarn at home in /var/lib/quarn" \
  grep -Eq '^u quarn - "[^"]+" /var/lib/quarn$' "$root/usr/lib/sysusers.d/quarn-server.conf"
check "tmpfiles: /var/lib/quarn, quarn's, mode 750" \
  grep -q '^d /var/lib/quarn 0750 quarn quarn -$' "$root/usr/lib/tmpfiles.d/quarn-server.conf"
check "the unit runs the packaged server headless with the defaults file's options" \
  grep -q '^ExecStart=/usr/bin/quarn-server --headless $QUARN_OPTIONS$' "$unit"
check "the unit reads the defaults file" \
  grep -q '^EnvironmentFile=-/etc/default/quarn-server$' "$unit"
check "the unit runs as quarn" grep -q '^User=quarn$' "$unit"
# shellcheck source=/dev/null
defaults=$(. "$root/etc/default/quarn-server" && printf '%s|%s' "$QUARN_RES" "$QUARN_OPTIONS")
check "the defaults file names the save folder" same /var/lib/quarn "${defaults%%|*}"
options=${defaults#*|}
# shellcheck disable=SC2086 # the options are words, as systemd splits $QUARN_OPTIONS
check "the server takes the defaults file's options" \
  "$root/usr/bin/quarn-server" $options --version
if command -v systemd-analyze >/dev/null; then
  # systemd checks the unit against the packaged binary where it was unpacked.
  sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$unit" >"$work/quarn-server.service"
  check "systemd-analyze verify" systemd-analyze verify "$work/quarn-server.service"
  check "systemd-analyze security rates it 2.0 or better" \
    systemd-analyze security --offline=true --threshold=20 "$work/quarn-server.service"
else
  echo "skipped: systemd-analyze is not installed; the unit is not verified"
fi

# The programs link no window, display, font or image library (the server not even libpng).
for program in quarn-server quarn-map quarn-bots; do
  libraries=$(ldd "$root/usr/bin/$program")
  echo "$program links $(wc -l <<<"$libraries") shared objects"
  check "$program links no window library" lacks "$windowLibraries" "$libraries"
done
check "quarn-server links no image library" lacks libpng "$(ldd "$root/usr/bin/quarn-server")"

# Without --headless the packaged server serves headless on the folder QUARN_RES names,
# and a SIGTERM stops it with a save that the packaged map tool draws.
mkdir "$work/res"
port=$(shuf -i 20000-59999 -n 1)
QUARN_RES="$work/res" "$root/usr/bin/quarn-server" --quiet --port "$port" \
  </dev/null >"$work/out" 2>&1 &
server=$!
for _ in $(seq 100); do
  grep -q "Server: Starting" "$work/out" && break
  sleep 0.1
done
sleep 0.5
kill -TERM "$server"
status=0
wait "$server" || status=$?
server=""
check "the server without --headless served and stopped with a save" same 0 "$status"
check "its log is on standard output" grep -q "Server: Stopping + Saving" "$work/out"
check "the world was saved in QUARN_RES" test -s "$work/res/world"
check "the map tool draws it" \
  "$root/usr/bin/quarn-map" -i "$work/res/world" -o "$work/map.png"
check "as a PNG" isPng "$work/map.png"
if [ "$status" -ne 0 ]; then cat "$work/out"; fi

echo "package checks: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
