#!/usr/bin/env bash
# `cmake --install` of a build with another prefix and DESTDIR, as someone
# building from source on another system would run it: everything lands
# under DESTDIR/PREFIX and the module still finds its library beside it.
#
#   cmake_install_test.sh BUILD_DIR WORK PROJECT_VERSION
set -euo pipefail

build=$1 work=$2 version=$3
rm -rf "$work"
mkdir -p "$work"
failures=0
check() {
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what" >&2; failures=$((failures + 1)); fi
}

DESTDIR=$work/destdir cmake --install "$build" --prefix /opt/qzovx >"$work/install.log"
top=$work/destdir/opt/qzovx
(cd "$work/destdir" && find . -mindepth 1 \( -type f -o -type l \) | sed 's|^\.||' | sort) >"$work/files"
cat "$work/files"
expected=$(sort <<LIST
/opt/qzovx/bin/qzovx-dm
/opt/qzovx/etc/freeradius/3.0/mods-available/qzovx
/opt/qzovx/etc/logrotate.d/qzovx
/opt/qzovx/lib/freeradius/libqzovx.so.0
/opt/qzovx/lib/freeradius/libqzovx.so.$version
/opt/qzovx/lib/freeradius/rlm_qzovx.so
/opt/qzovx/share/doc/qzovx/examples/DMConfig.prp
/opt/qzovx/share/doc/qzovx/examples/freeradius.service.d/qzovx.conf
/opt/qzovx/share/doc/qzovx/examples/policy.conf
/opt/qzovx/share/freeradius/dictionary.qzovx
/opt/qzovx/share/man/man1/qzovx-dm.1
LIST
)
# The module's further server configuration, as it lies in raddb/.
raddb=$(dirname "$0")/../../src/modules/rlm_qzovx/raddb
if [ -d "$raddb" ]; then
  expected=$( { echo "$expected"; (cd "$raddb" && find . -type f | sed 's|^\.|/opt/qzovx/etc/freeradius/3.0|'); } | sort)
fi
check "everything lands under DESTDIR/prefix, nothing else" test "$(cat "$work/files")" = "$expected"
check "the module finds the installed libqzovx.so.0 beside it" \
  grep -qF "libqzovx.so.0 => $top/lib/freeradius/libqzovx.so.0" <<<"$(ldd "$top/lib/freeradius/rlm_qzovx.so")"
check "the installed qzovx-dm runs" "$top/bin/qzovx-dm" --policy "$top/share/doc/qzovx/examples/policy.conf" --check

echo "$failures check(s) failed"
[ "$failures" -eq 0 ]
