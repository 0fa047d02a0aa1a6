#!/usr/bin/env bash
# Installs the .deb for real, runs the service's command line headless as an unprivileged user in
# a private network namespace, fetches a file, stops it with SIGTERM, purges the package and
# checks that nothing of it is left. Needs root; usage: package_install_test.sh PACKAGE.deb
set -euo pipefail
deb=$(realpath "$1")
if [ "$(id -u)" -ne 0 ]; then
  echo "package install test: SKIPPED (installing a package needs root; CI runs it as root)"
  exit 0
fi
if dpkg-query -W -f='${Status}' vyn-brevoxa 2>/dev/null | grep -q installed; then
  echo "package install test: SKIPPED (vyn-brevoxa is already installed here; left as it is)"
  exit 0
fi
fail() {
  echo "package install test: FAILED: $*" >&2
  exit 1
}
work=$(mktemp -d)
state=/var/lib/vyn-brevoxa
cleanup() {
  if dpkg-query -W vyn-brevoxa >/dev/null 2>&1; then dpkg --purge vyn-brevoxa >/dev/null 2>&1 || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || fail "dpkg -i: $(cat "$work/dpkg.log")"
dpkg -L vyn-brevoxa >"$work/files"
for doc in /usr/share/man/man1/brevoxa.1.gz /usr/share/doc/vyn-brevoxa/README.md.gz; do
  grep -qx "$doc" "$work/files" || fail "$doc is not installed"
done
/usr/sbin/getcap /usr/bin/brevoxa | grep -q cap_net_bind_service ||
  fail "the post-install step did not grant cap_net_bind_service"
unit=/usr/lib/systemd/system/vyn-brevoxa.service
command=$(sed -n 's/^ExecStart=//p' "$unit")
[ -n "$command" ] || fail "no ExecStart in $unit"

# What systemd's StateDirectory= gives the service's user, here nobody; the hive points the
# root at a folder of the test.
mkdir -p "$work/www" "$state"
chmod 755 "$work" "$work/www"
echo "served by the installed package" >"$work/www/hello.txt"
printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Quorvel\\Vyn Brevoxa]\n"RC"="%s"\n' \
  "$work/www" >"$state/HKLM.reg"
chown -R nobody:nogroup "$state"

cat >"$work/run.sh" <<SCRIPT
set -u
ip link set lo up
setpriv --reuid=nobody --regid=nogroup --clear-groups $command 2>"$work/stderr" &
pid=\$!
for i in \$(seq 1 200); do
  curl -s -o "$work/response" http://127.0.0.1/hello.txt && break
  sleep 0.05
done
kill -TERM \$pid
wait \$pid
echo \$? >"$work/status"
SCRIPT
env -u DISPLAY -u WAYLAND_DISPLAY unshare --net bash "$work/run.sh"
[ "$(cat "$work/status")" = 0 ] || fail "exit status $(cat "$work/status"): $(cat "$work/stderr")"
[ "$(cat "$work/response" 2>/dev/null)" = "served by the installed package" ] ||
  fail "no file served: $(cat "$work/stderr")"
grep -q "SESSION TERMINATED" "$state/brevoxa.log" || fail "no session-end record in $state"

# Started by hand, even by root, the installed program keeps its files in the state home, never
# beside itself in /usr/bin.
cat >"$work/run-user.sh" <<SCRIPT
ip link set lo up
env -u XDG_STATE_HOME HOME="$work/home" /usr/bin/brevoxa 2>"$work/stderr" &
pid=\$!
for i in \$(seq 1 200); do
  curl -s -o /dev/null http://127.0.0.1/ && break
  sleep 0.05
done
kill -TERM \$pid
wait \$pid
SCRIPT
env -u DISPLAY -u WAYLAND_DISPLAY unshare --net bash "$work/run-user.sh" ||
  fail "run by hand: $(cat "$work/stderr")"
grep -q "SESSION TERMINATED" "$work/home/.local/state/vyn-brevoxa/brevoxa.log" ||
  fail "no log in the state home: $(cat "$work/stderr")"

dpkg --purge vyn-brevoxa >"$work/dpkg.log" 2>&1 || fail "dpkg --purge: $(cat "$work/dpkg.log")"
while read -r f; do
  if [ -e "$f" ] && [ ! -d "$f" ]; then fail "left behind: $f"; fi
done <"$work/files"
left=$(find /usr /etc /opt /var/lib /var/log -iname '*brevoxa*' 2>/dev/null || true)
[ -z "$left" ] || fail "left behind: $left"
echo "package install test: passed (installed, served a file as nobody on port 80, stopped on" \
  "SIGTERM, kept its files in the state home when run by hand, purged without a trace)"
