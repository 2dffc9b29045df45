#!/usr/bin/env bash
# Builds the Debian packages from a copy of the tree (contrib/build-packages:
# the tree itself stays clean), checks them with lintian, unpacks them into
# a throw-away root and runs the installed tool's demo, the installed
# daemons and the example program built against the installed headers and
# libraries, from there.
#   packages.sh SOURCE_DIR
set -euo pipefail
src=$(cd "$1" && pwd)
. "$src/tests/integration/sim_hosts.sh"
fail() { echo "FAILED: $*"; exit 1; }

echo "building the packages (log in $tmp/build.log while it runs)"
DEB_BUILD_OPTIONS=${DEB_BUILD_OPTIONS:-parallel=2} "$src/contrib/build-packages" "$tmp" >"$tmp/build.log" 2>&1 ||
  { tail -n 40 "$tmp/build.log"; fail "building the packages"; }
! grep -E '^[^ ]+:[0-9]+:[0-9]+: warning: ' "$tmp/build.log" || fail "compiler warnings"
debs=("$tmp"/*_*.deb)
echo "built: $(cd "$tmp" && echo *.deb)"

lintian --fail-on error "$tmp"/*.changes >"$tmp/lintian.log" 2>&1 || { cat "$tmp/lintian.log"; fail "lintian reports errors"; }
grep -v 'running with root privileges' "$tmp/lintian.log" || true

root=$tmp/root
for deb in "${debs[@]}"; do dpkg -x "$deb" "$root"; done
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
export LD_LIBRARY_PATH=$root/usr/lib/$multiarch
export PKG_CONFIG_PATH=$root/usr/lib/$multiarch/pkgconfig
for f in etc/default/hubd etc/default/credmap_server lib/systemd/system/hubd.service \
         lib/systemd/system/credmap_server.service usr/share/bash-completion/completions/credmap \
         usr/share/man/man1/credmap.1.gz usr/share/man/man3/libvelmocredmap.3.gz \
         usr/share/man/man5/velmo-accounts.5.gz usr/share/man/man5/velmo-hosts.5.gz \
         usr/share/man/man8/hubd.8.gz usr/share/man/man8/credmap_server.8.gz; do
  [ -e "$root/$f" ] || fail "no package installs /$f"
done

# The units parse without a complaint and keep their restrictions (an
# exposure of at most 1.5 on systemd's scale of 10).
for unit in hubd credmap_server; do
  systemd-analyze security --offline=yes --threshold=15 "$root/lib/systemd/system/$unit.service" \
    >/dev/null 2>"$tmp/unit.err" && [ ! -s "$tmp/unit.err" ] || { cat "$tmp/unit.err"; fail "$unit.service"; }
done

version=$(dpkg-deb -f "$tmp"/velmo-credmap-tools_*.deb Version)
# An export gone from a library fails the build: the symbols files list each
# symbol with a version below the package's, so that dpkg-gensymbols (run by
# dh_makeshlibs) counts one the library lacks as lost.
for pkg in libvelmocredmap0 libvelmohost0; do
  { cat "$src/debian/$pkg.symbols"
    sed -n '3s/^ [^@]*@\([^ ]*\) \(.*\)/ gone_export@\1 \2/p' "$src/debian/$pkg.symbols"; } >"$tmp/$pkg.symbols"
  ! dpkg-gensymbols -p$pkg -P"$root" -e"$root"/usr/lib/$multiarch/${pkg%0}.so.0.* -I"$tmp/$pkg.symbols" \
    -O"$tmp/symbols" -v"$version" -c1 >/dev/null 2>&1 || fail "$pkg: a lost symbol goes unnoticed"
done

# The tool names the version the packages carry.
out=$("$root/usr/bin/credmap" --version)
grep -qx "credmap $version" <<<"$out" || fail "credmap --version is not $version: $out"

# The demo finds the installed daemons and the sample domain beside the tool.
out=$("$root/usr/bin/credmap" demo) || { echo "$out"; fail "credmap demo"; }
grep -q "new requests to the server: 0 " <<<"$out" || fail "demo: second mapping not from the cache"
grep -q "local account daemon  *back as it was" <<<"$out" || fail "demo: round trip"
grep -q "The simulated hosts are stopped." <<<"$out" || fail "demo: end"

# The example program, built as a user of the packages builds it.
cc -std=c11 -Wall -Wextra -Werror "$root/usr/share/doc/libvelmocredmap-dev/examples/getpwnam.c" \
  $(pkg-config --cflags --libs velmocredmap) -o "$tmp/getpwnam"
out=$(ldd "$tmp/getpwnam")
grep -q "libvelmocredmap.so.0 => $root/" <<<"$out" || fail "example not linked to the installed library: $out"
start_host winhost 127.0.0.2 "Windows Server 2022" "$root/usr/sbin/hubd" "$root/usr/sbin/credmap_server" \
  "$root/usr/share/doc/velmo-credmap-server/examples/korvantis.accounts"
out=$("$tmp/getpwnam" winhost alice)
grep -qx 'KORVANTIS\\Alice S-1-5-21-3623811015-3361044348-30300820-1104' <<<"$out" || fail "example: $out"
echo "packages: passed"
