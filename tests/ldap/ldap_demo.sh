#!/usr/bin/env bash
# credmap demo --ldap: the Windows host's server answers from a throw-away
# slapd, and nothing is left running.   ldap_demo.sh BUILD_DIR
set -euo pipefail
fail() { echo "FAILED: $*"; exit 1; }
[ -x /usr/sbin/slapd ] || { echo "slapd is not installed: skipped"; exit 0; }
out=$("$1/tools/credmap/credmap" demo --ldap) || fail "the demo failed: $out"
dir=$(sed -n 's/.*logs in \(.*\)):$/\1/p' <<<"$out")
grep -q "directory slapd at 127.0.0.1 port" <<<"$out" || fail "no directory server: $out"
grep -q "local account daemon  *back as it was" <<<"$out" || fail "round trip: $out"
grep -q "second: 502 groups, .* 0 new requests" <<<"$out" || fail "large user: $out"
[ -n "$dir" ] && [ ! -e "$dir" ] && ! pgrep -f "$dir" >/dev/null || fail "the demo left $dir or its daemons"
