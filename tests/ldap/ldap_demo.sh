#!/usr/bin/env bash
# credmap demo --ldap: the Windows host's server answers from a throw-away
# slapd as it does from the directory file, and nothing is left running.
#   ldap_demo.sh BUILD_DIR
set -euo pipefail
tool=$1/tools/credmap/credmap
fail() { echo "FAILED: $*"; exit 1; }
[ -x /usr/sbin/slapd ] || { echo "slapd is not installed: skipped"; exit 0; }

out=$("$tool" demo --ldap) || fail "the demo failed: $out"
dir=$(sed -n 's/.*logs in \(.*\)):$/\1/p' <<<"$out")
grep -q "directory slapd at 127.0.0.1 port" <<<"$out" || fail "no directory server: $out"
grep -q "new requests to the server: 0 " <<<"$out" || fail "second mapping not from the cache: $out"
grep -q "local account daemon  *back as it was" <<<"$out" || fail "round trip: $out"
grep -q "second: 502 groups, .* 0 new requests" <<<"$out" || fail "large user: $out"
grep -q "S-1-22-1-0 -> winhost:S-1-5-21-3623811015-3361044348-30300820-1116" <<<"$out" || fail "dump pairs: $out"
[ -n "$dir" ] && [ ! -e "$dir" ] || fail "the demo's folder $dir is left"
! pgrep -f "$dir" >/dev/null || fail "daemons of the demo left running"
echo "credmap demo --ldap: passed"
