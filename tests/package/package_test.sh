#!/usr/bin/env bash
# Builds the Debian package with scripts/package, checks its metadata and file
# list, runs lintian, then extracts it into a folder of its own and runs the
# real FreeRADIUS from the extracted files: the configuration is a copy of
# the installed /etc/freeradius/3.0 with the package's conffile, enabled the
# way the README says, the module and its library come from the extracted
# /usr/lib/freeradius, the vendor dictionary from the extracted
# /usr/share/freeradius, and the stand-in DM is the extracted qzovx-dm with the
# example policy. Nothing outside WORK is changed.
#
#   package_test.sh SOURCE_DIR WORK HEADERS_DIR PROJECT_VERSION
set -euo pipefail

source_dir=$1 work=$2 headers=$3 project_version=$4

failures=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what" >&2; failures=$((failures + 1)); fi
}
die() { echo "FAILED: $*" >&2; exit 1; }

pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT

mkdir -p "$work"
work=$(cd "$work" && pwd)
out=$work/out
rm -rf "$out" "$work/root" "$work/run"
mkdir -p "$work/run"

# ---- building ----
"$source_dir/scripts/package" --build-dir "$work/build" --out "$out" --headers "$headers" \
  >"$work/package.log" 2>&1 || { tail -n 40 "$work/package.log" >&2; die "scripts/package"; }
arch=$(dpkg --print-architecture)
deb=$out/qzovx_${project_version}_${arch}.deb
[ -f "$deb" ] || die "$deb was not built (see $work/package.log)"

# ---- metadata ----
field() { dpkg-deb -f "$deb" "$1"; }
freeradius_version=$(dpkg-query -W -f='${Version}' freeradius)
check "Package is qzovx" test "$(field Package)" = qzovx
check "Version is the project's ($project_version)" test "$(field Version)" = "$project_version"
check "Architecture is $arch" test "$(field Architecture)" = "$arch"
depends=$(field Depends)
check "depends on exactly freeradius $freeradius_version" \
  grep -qF "freeradius (= $freeradius_version)" <<<"$depends"
check "depends on the C++ runtime the binaries need" grep -q 'libstdc++6' <<<"$depends"
check "description names the freeradius version" grep -qF "$freeradius_version" <<<"$(field Description)"
control=$work/control
rm -rf "$control"
dpkg-deb -e "$deb" "$control"
# The module's further server configuration (raddb/ in the source) goes
# into the server's configuration folder as it lies there.
raddb_source=$source_dir/src/modules/rlm_qzovx/raddb
raddb_files=
raddb_dirs=
if [ -d "$raddb_source" ]; then
  raddb_files=$(cd "$raddb_source" && find . -type f | sed 's|^\.|/etc/freeradius/3.0|')
  raddb_dirs=$(cd "$raddb_source" && find . -mindepth 1 -type d | sed 's|^\.|/etc/freeradius/3.0|')
fi
expected_conffiles=$(printf '%s\n' /etc/freeradius/3.0/mods-available/qzovx /etc/logrotate.d/qzovx \
                     "$raddb_files" | grep -v '^$' | sort -u)
check "conffiles: the module's configuration, the logrotate file and raddb/" \
  test "$(sort "$control/conffiles")" = "$expected_conffiles"
check "postrm is valid shell" sh -n "$control/postrm"
check "postrm is executable" test -x "$control/postrm"

# ---- file list: exactly these, owned by root, none writable by others ----
listing=$(dpkg-deb -c "$deb")
actual=$(awk '{ print $6 }' <<<"$listing" | sed 's|^\./|/|; s|/$||' | grep -v '^$' | sort)
expected=$(sort <<EOF
/etc
/etc/freeradius
/etc/freeradius/3.0
/etc/freeradius/3.0/mods-available
/etc/freeradius/3.0/mods-available/qzovx
/etc/logrotate.d
/etc/logrotate.d/qzovx
/usr
/usr/bin
/usr/bin/qzovx-dm
/usr/lib
/usr/lib/freeradius
/usr/lib/freeradius/libqzovx.so.0
/usr/lib/freeradius/libqzovx.so.$project_version
/usr/lib/freeradius/rlm_qzovx.so
/usr/share
/usr/share/doc
/usr/share/doc/qzovx
/usr/share/doc/qzovx/README.md.gz
/usr/share/doc/qzovx/changelog.gz
/usr/share/doc/qzovx/copyright
/usr/share/doc/qzovx/examples
/usr/share/doc/qzovx/examples/DMConfig.prp
/usr/share/doc/qzovx/examples/freeradius.service.d
/usr/share/doc/qzovx/examples/freeradius.service.d/qzovx.conf
/usr/share/doc/qzovx/examples/policy.conf
/usr/share/freeradius
/usr/share/freeradius/dictionary.qzovx
/usr/share/man
/usr/share/man/man1
/usr/share/man/man1/qzovx-dm.1.gz
EOF
)
expected=$(printf '%s\n' "$expected" "$raddb_files" "$raddb_dirs" | grep -v '^$' | sort -u)
check "file list" test "$actual" = "$expected"
[ "$actual" = "$expected" ] || diff <(echo "$expected") <(echo "$actual") >&2 || true
check "every entry is root/root" test -z "$(awk '$2 != "root/root"' <<<"$listing")"
check "nothing is writable by group or others" \
  test -z "$(awk '$1 ~ /^-....w|^-.......w|^d....w|^d.......w/' <<<"$listing")"

if command -v lintian >/dev/null; then
  lintian --tag-display-limit 0 "$deb" >"$work/lintian.log" 2>&1 || true
  cat "$work/lintian.log"
  check "lintian reports no error" test -z "$(grep '^E:' "$work/lintian.log")"
  check "lintian reports no warning" test -z "$(grep '^W:' "$work/lintian.log")"
else
  check "lintian is installed (scripts/setup installs it)" false
fi

# ---- the extracted package ----
root=$work/root
dpkg-deb -x "$deb" "$root"
modules=$root/usr/lib/freeradius
check "the module finds libqzovx.so.0 beside it" \
  grep -qF "libqzovx.so.0 => $modules/libqzovx.so.0" <<<"$(ldd "$modules/rlm_qzovx.so")"
check "qzovx-dm --help" "$root/usr/bin/qzovx-dm" --help
check "the manual page renders without warnings" \
  test -z "$(MANWIDTH=80 man --warnings -l "$root/usr/share/man/man1/qzovx-dm.1.gz" 2>&1 >/dev/null)"
check "the example policy passes qzovx-dm --check" \
  "$root/usr/bin/qzovx-dm" --policy "$root/usr/share/doc/qzovx/examples/policy.conf" --check

# The server's configuration: the installed one, the package's conffile on
# top, then the README's enabling steps.
conf=$root/etc/freeradius/3.0
cp -a -n /etc/freeradius/3.0/. "$conf/"
rm -f "$conf/mods-enabled/qzovx"  # in case the machine has the package enabled
ln -s ../mods-available/qzovx "$conf/mods-enabled/qzovx"
"$source_dir/packaging/list-in-site" "$conf/sites-enabled/default"
# Only for running from a folder: paths, the module search path, a user.
sed -i \
  -e "s|^raddbdir = .*|raddbdir = $conf|" \
  -e "s|^logdir = .*|logdir = $work/run|" \
  -e "s|^run_dir = .*|run_dir = $work/run|" \
  -e "s|^libdir = .*|libdir = $modules:/usr/lib/freeradius|" \
  -e 's|^\(\s*\)reject_delay = .*|\1reject_delay = 0|' \
  "$conf/radiusd.conf"
if [ "$(id -u)" -eq 0 ]; then
  sed -i -e 's|^\(\s*\)user = |\1# user = |' -e 's|^\(\s*\)group = |\1# group = |' "$conf/radiusd.conf"
fi
authorize=$conf/mods-config/files/authorize
{ echo 'alice Cleartext-Password := "alice-pw"'
  echo 'mallory Cleartext-Password := "mallory-pw"'
  cat "$authorize"; } >"$work/authorize"
rm -f "$authorize"
cp "$work/authorize" "$authorize"

# The server's dictionary folder as the package would leave it: the
# installed dictionaries plus the extracted dictionary.qzovx.
dict=$root/usr/share/freeradius
for f in /usr/share/freeradius/*; do
  [ -e "$dict/$(basename "$f")" ] || ln -s "$f" "$dict/$(basename "$f")"
done

server_check() {  # server_check LOG ARGS...
  local log=$1; shift
  freeradius -XC "$@" >"$log" 2>&1
}
check "freeradius -XC passes" server_check "$work/check.log" -d "$conf" -D "$dict"
check "the module loaded the extracted dictionary.qzovx itself" \
  grep -qF "Loading $dict/dictionary.qzovx" "$work/check.log"
check "the dictionary is not \$INCLUDEd from the configuration" \
  test -z "$(grep -r 'dictionary.qzovx' "$conf/dictionary")"
if [ ! -e /usr/share/freeradius/dictionary.qzovx ]; then
  # Without the package's dictionary the module refuses to start and says why.
  server_check "$work/check-no-dictionary.log" -d "$conf" && nodict=0 || nodict=1
  check "without dictionary.qzovx the check fails" test "$nodict" -eq 1
  check "... naming the missing file" \
    grep -q 'dictionary.qzovx is not in the server.s dictionary folder /usr/share/freeradius' \
      "$work/check-no-dictionary.log"
fi

# ---- a real exchange ----
free_port() {
  python3 -c 'import socket,sys
s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM if sys.argv[1]=="udp" else socket.SOCK_STREAM)
s.bind(("127.0.0.1",0)); print(s.getsockname()[1])' "$1"
}
wait_for() {  # wait_for FILE TEXT PID
  for _ in $(seq 1 200); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    kill -0 "$3" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

"$root/usr/bin/qzovx-dm" --policy "$root/usr/share/doc/qzovx/examples/policy.conf" --port 0 \
  >"$work/dm.log" 2>&1 &
pids+=($!)
wait_for "$work/dm.log" 'listening on' "${pids[-1]}" || { cat "$work/dm.log" >&2; die "qzovx-dm did not start"; }
dm_port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/dm.log" | head -n1)

# The packaged example properties, with this DM's port and a trace file in
# WORK (the value is taken relative to /var/).
trace=$work/run/qzovx.trc
sed -e "s|^dm_port=.*|dm_port=$dm_port|" \
    -e "s|^ovx_rif_trace_file=.*|ovx_rif_trace_file=..$trace|" \
    "$root/usr/share/doc/qzovx/examples/DMConfig.prp" >"$work/qzovx.prp"

auth_port=$(free_port udp)
acct_port=$(free_port udp)
"$source_dir/tests/package/loopback-listeners" "$conf" "$auth_port" "$acct_port"
QZOVX_PROPERTIES=$work/qzovx.prp freeradius -X -d "$conf" -D "$dict" >"$work/server.log" 2>&1 &
pids+=($!)
wait_for "$work/server.log" 'Ready to process requests' "${pids[-1]}" ||
  { tail -n 40 "$work/server.log" >&2; die "freeradius did not start"; }

radius() {  # radius ATTRIBUTES
  radclient -x -r 1 -t 5 "127.0.0.1:$auth_port" auth testing123 <<<"$1" 2>&1 || true
}
reply=$(radius 'User-Name=alice,User-Password=alice-pw,NAS-IP-Address=10.1.2.3,NAS-Port=17,Calling-Station-Id=00-11-22-33-44-55')
echo "$reply" >"$work/radclient-alice.log"
check "alice is accepted" grep -q 'Received Access-Accept' <<<"$reply"
check "alice gets VLAN 20 from the DM" grep -q 'Tunnel-Private-Group-Id:0 = "20"' <<<"$reply"
check "alice gets the DM's session time" grep -q 'Session-Timeout = 3600' <<<"$reply"
check "alice gets a vendor attribute of the packaged dictionary" grep -q '32473' <<<"$reply"
check "the DM saw alice's request" wait_for "$work/dm.log" 'Request REQ_ID=10.1.2.31700-11-22-33-44-55 USER=alice' "${pids[0]}"
check "the trace file named by the example properties is written" test -s "$trace"

# The trace file is rotated by copy and truncate while the server runs;
# the library's next lines must go to the start of the emptied file.
if command -v logrotate >/dev/null; then
  sed "s|^/var/log/freeradius/qzovx.trc|$trace|" "$root/etc/logrotate.d/qzovx" >"$work/logrotate.conf"
  check "logrotate rotates the trace file" \
    logrotate -f -s "$work/logrotate.state" "$work/logrotate.conf"
  check "... keeping a copy" test -s "$trace.1"
  reply=$(radius 'User-Name=mallory,User-Password=mallory-pw,NAS-IP-Address=10.1.2.3,NAS-Port=3,Calling-Station-Id=00-11-22-33-44-66')
  check "mallory is refused by the DM" grep -q 'Received Access-Reject' <<<"$reply"
  check "the trace goes on after the rotation" test -s "$trace"
  check "... from the start of the emptied file (no hole)" \
    test "$(head -c 1 "$trace" 2>/dev/null | od -An -tx1 | tr -d ' ')" != 00 -a -s "$trace"
else
  check "logrotate is installed (scripts/setup installs it)" false
fi

for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
pids=()

# ---- removal and purge, as dpkg does them, in the extracted tree ----
# Removal takes the package's files but its conffiles, then runs postrm.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sed 's|^\./|/|' >"$work/files"
while IFS= read -r f; do
  grep -qxF "$f" "$control/conffiles" || rm -f "$root$f"
done <"$work/files"
ln -s ../sites-available/default "$conf/sites-enabled/qzovx-accounting"  # not ours: must stay
check "postrm remove runs" env DPKG_ROOT="$root" sh "$control/postrm" remove
check "removal takes the mods-enabled/qzovx link" test ! -L "$conf/mods-enabled/qzovx"
check "... leaves a link it did not make" test -L "$conf/sites-enabled/qzovx-accounting"
rm -f "$conf/sites-enabled/qzovx-accounting"
check "... and keeps the configuration until purge" test -f "$conf/mods-available/qzovx"
"$source_dir/packaging/list-in-site" --remove "$conf/sites-enabled/default"
check "with qzovx out of the sites the server starts cleanly" \
  server_check "$work/check-removed.log" -d "$conf" -D "$dict"
# Purge: the conffiles go, then postrm purge drops links into them.
ln -s ../mods-available/qzovx "$conf/mods-enabled/qzovx"
while IFS= read -r f; do rm -f "$root$f"; done <"$control/conffiles"
mkdir -p "$root/var/log/freeradius"
touch "$root/var/log/freeradius/qzovx.trc" "$root/var/log/freeradius/qzovx.trc.1"
check "postrm purge runs" env DPKG_ROOT="$root" sh "$control/postrm" purge
check "purge drops a link left into the purged configuration" test ! -L "$conf/mods-enabled/qzovx"
check "purge drops the trace files" test -z "$(ls "$root/var/log/freeradius")"
check "after purge the server starts cleanly" \
  server_check "$work/check-purged.log" -d "$conf" -D "$dict"

echo "$failures check(s) failed"
[ "$failures" -eq 0 ]
