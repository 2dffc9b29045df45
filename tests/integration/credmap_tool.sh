#!/usr/bin/env bash
# The credmap tool against simulated hosts: its JSON, failures, command-line
# contract, check, shell, hosts and demo.   credmap_tool.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 src=$2
tool=$build/tools/credmap/credmap
. "$(dirname "$0")/sim_hosts.sh"
fail() { echo "FAILED: $*"; exit 1; }
# credmap --json ARGS, the Python assertions of standard input on its document d.
expect_json() {
  "$tool" --json "$@" >"$tmp/doc" || true
  python3 -c 'import json, sys; d = json.load(open(sys.argv[1])); dom = "S-1-5-21-3623811015-3361044348-30300820-"
exec(sys.stdin.read())' "$tmp/doc" || fail "--json $*: $(cat "$tmp/doc")"
}

hubd=$build/server/hubd
start_host winhost 127.0.0.2 "Windows Server 2022" "$hubd" "$build/server/credmap_server" \
  "$src/examples/korvantis.accounts"
start_host unixhost 127.0.0.3 Linux "$hubd"
start_host noserver 127.0.0.4 "Windows Server 2016" "$hubd"
start_host refuser 127.0.0.5 "Windows Server 2022" "$hubd" "$build/server/credmap_server" \
  "$src/examples/korvantis.accounts --refuse daemon"
# A server that takes connections and never answers the contact.
start_host silent 127.0.0.6 "Windows Server 2022" "$hubd" "$build/server/credmap_server" \
  "$src/examples/korvantis.accounts --ignore-contact"

expect_json to-remote WINHOST --uid 0 --gid 0 --groups 0,1 <<'PY'
assert d["status"] == 0 and d["host"] == "WINHOST", d
assert d["user"] == {"local": "S-1-22-1-0", "local_name": "root", "remote": dom + "1116"}, d["user"]
assert [g["remote"] for g in d["groups"]] == [dom + "1220", dom + "1221"], d["groups"]
PY

expect_json getpwnam winhost Alice nobody-here <<'PY'
r = d["results"]
assert d["status"] == 0 and r[0]["name"] == "KORVANTIS\\Alice" and r[0]["uid"] == 21104, d
assert r[1]["sid"] == "nobody", d
PY
# Back from the Windows host: a domain account to the local one of its name
# ("Sudo" found as "sudo"), an account without one to nobody.
dom=S-1-5-21-3623811015-3361044348-30300820
expect_json to-local winhost --user $dom-1116 --group $dom-1226 --groups $dom-1104,$dom-1222 --repeat 2 <<'PY'
assert d["status"] == 0 and d["user"]["local_name"] == "root", d
assert d["group"]["local"] == "S-1-22-2-27" and d["group"]["local_name"] == "sudo", d["group"]
assert [g["local"] for g in d["groups"]] == ["nobody", "S-1-22-2-2"], d["groups"]
assert d["runs"][0]["requests"] > 0 and d["runs"][1]["requests"] == 0, d["runs"]
PY
"$tool" to-local winhost --user $dom-1116 --group nobody | grep -q '^user .*S-1-22-1-0 (root)$' || fail "to-local text"
"$tool" to-local winhost --user S-1-5-x --group nobody 2>"$tmp/err" && fail "a malformed SID was taken"
[ $? -eq 2 ] && grep -q "not a SID .*S-1-5-x (--user)" "$tmp/err" || fail "malformed SID: $(cat "$tmp/err")"

# Whole credentials: 1,000 groups, in order, the second time from the cache.
expect_json to-remote winhost --whole --uid 0 --gid 0 --groups "$(seq -s, 1 1000)" --repeat 2 <<'PY'
g = d["groups"]
assert d["status"] == 0 and len(g) == 1000, (d["status"], len(g))
assert [x["local"] for x in g] == ["S-1-22-2-%d" % i for i in range(1, 1001)]
# daemon, bin, sys, adm, users: groups the domain has too.
assert [g[i]["remote"] for i in (0, 1, 2, 3, 99)] == [dom + r for r in ("1221", "1222", "1223", "1224", "1225")], g[:4]
assert d["runs"][0]["requests"] > 0 and d["runs"][1]["requests"] == 0, d["runs"]
PY

# The POSIX ids the Windows host gives, and the authentication a server
# receives on a real call; a user the host refuses gets none.
expect_json to-posix winhost --uid 0 --gid 0 --groups 1,2,6 <<'PY'
assert d["local"] == {"uid": 0, "gid": 0, "groups": [1, 2, 6]}, d
assert d["remote"] == {"uid": 21116, "gid": 21220, "groups": [21221, 21222]}, d
PY
"$build/tests/auth_recorder" --port-file "$tmp/recorder.port" --log "$tmp/calls" --program 536894033 --version 3 &
sim_pids+=($!)
for _ in $(seq 500); do [ -s "$tmp/recorder.port" ] && break; sleep 0.01; done
expect_json auth winhost --uid 0 --gid 0 --groups 1,2 --call 536894033 3 "127.0.0.1:$(cat "$tmp/recorder.port")" <<'PY'
assert d["credentials"] == {"uid": 21116, "gid": 21220, "groups": [21221, 21222]}, d
assert d["call"]["accepted"] is True, d
PY
[ "$(cut -d' ' -f3- "$tmp/calls")" = "21116 21220 21221,21222" ] || fail "the server received $(cat "$tmp/calls")"
"$tool" auth refuser --uid 1 --gid 1 >/dev/null 2>"$tmp/err" && fail "a refused user got authentication"
grep -q "Credentials DENIED on host refuser" "$tmp/err" || fail "denial: $(cat "$tmp/err")"

# An access list to the Windows host and back; a mistake in the file.
printf 'user S-1-22-1-0 rwx\ngroup S-1-22-2-1 r-x flags=2\nother r\n' > "$tmp/acl"
"$tool" acl winhost --to-remote "$tmp/acl" > "$tmp/acl.remote"
grep -qx "user $dom-1116 rwx" "$tmp/acl.remote" || fail "acl to remote: $(cat "$tmp/acl.remote")"
"$tool" acl winhost --to-local - < "$tmp/acl.remote" | cmp - "$tmp/acl" || fail "acl back to local"
printf 'user S-1-22-1-0 rwx\nuser S-1-22-1-0 rwz\n' > "$tmp/bad"
"$tool" acl winhost --to-remote "$tmp/bad" 2>"$tmp/err" && fail "a malformed list was taken"
[ $? -eq 2 ] && grep -q "bad:2:17: bad rights" "$tmp/err" || fail "malformed list: $(cat "$tmp/err")"

"$tool" classify winhost | grep -q "Windows Server 2022; an NT host" || fail "classify winhost"
"$tool" --json classify unixhost | python3 -c 'import json,sys; d=json.load(sys.stdin); assert d["nt"] is False and d["os_name"] == "Linux"'

# Failures: a non-zero exit and the reason on standard error.
for case in "no-such-host.invalid:host name cannot be resolved" "noserver:not registered"; do
  host=${case%%:*} text=${case#*:}
  if "$tool" to-remote "$host" 2>"$tmp/err"; then fail "to-remote $host succeeded"; fi
  grep -q "credmap: to-remote $host: .*$text" "$tmp/err" || { cat "$tmp/err"; fail "message for $host"; }
done
if "$tool" to-remote winhost --uid x 2>/dev/null; then fail "a bad --uid was taken"; fi
"$tool" to-remote --help | grep -q "^usage: credmap \[--json\] \[--verbose\] to-remote HOST" || fail "to-remote --help"

# Versions: the tool's, then the library's identification line, nothing after.
"$tool" --version >"$tmp/version"
grep -qx 'credmap [0-9][0-9.]*' <(head -n 1 "$tmp/version") && [ "$(wc -l <"$tmp/version")" = 2 ] &&
  sed -n 2p "$tmp/version" | grep -q '^libvelmocredmap  *[0-9].*[^ ]$' || fail "--version: $(cat "$tmp/version")"
"$tool" --json version | python3 -c 'import json, sys; d = json.load(sys.stdin)
assert d["library"].startswith("libvelmocredmap") and "\n" not in d["library"] + d["version"], d' || fail "--json version"

# With --json every command prints one object and a newline, failures and
# bad usage included, with a status that is 0 exactly when the exit status
# is; the cache dump at exit goes to standard error.
one_document() {
  local code=0
  "$tool" --json "$@" >"$tmp/doc" 2>/dev/null || code=$?
  python3 -c 'import json, sys; t = open(sys.argv[1]).read(); code = int(sys.argv[2])
assert t.endswith("\n") and t.count("\n") == 1, repr(t); d = json.loads(t)
assert isinstance(d, dict) and isinstance(d["message"], str) and (d["status"] == 0) == (code == 0), (code, d)' \
    "$tmp/doc" "$code" || fail "--json $*: $(cat "$tmp/doc")"
}
printf 'role r\nuser S-1-22-1-0 r\n' > "$tmp/roles"
one_document classify winhost
one_document classify no-such-host.invalid
KORVANTIS_CREDMAP_DUMP=1 one_document to-remote winhost --uid 0 --gid 0 --repeat 2 --stats
one_document to-remote noserver --stats
one_document to-local winhost --user $dom-1116 --group nobody --stats
one_document to-posix winhost --uid 0 --gid 0
one_document auth refuser --uid 1 --gid 1
one_document acl winhost --to-remote "$tmp/acl"
one_document rolemap winhost --to-remote "$tmp/roles"
one_document getpwnam noserver alice
one_document getgrgid winhost 21220
one_document check unixhost
one_document to-remote winhost --bogus
for command in stats dump version hosts demo nonsense; do one_document $command; done

# The command-line contract: exit status|what standard error says (-: any)|
# the line.
# Some entries mapped and some not is a failure (1).
printf 'user %s-1116 rwx\nuser %s-9999 r\n' $dom $dom > "$tmp/half"
while IFS='|' read -r code text args; do
  eval "set -- $args"
  got=0; "$tool" "$@" >"$tmp/out" 2>"$tmp/err" || got=$?
  [ "$got" = "$code" ] && { [ "$text" = - ] || grep -q -- "$text" "$tmp/err"; } ||
    fail "credmap $args: $got, $(cat "$tmp/err")"
done <<EOF
2|unknown option --bogus|to-remote winhost --bogus
2|unknown option --bogus|--bogus stats
2|missing value for --uid|to-remote winhost --uid --gid 0
2|bad --uid|to-remote winhost --uid ' 1'
2|bad --uid|to-remote winhost --uid +1
2|bad --repeat|to-remote winhost --repeat 0x2
2|--whole takes no value|to-remote winhost --whole=yes
2|unexpected argument "extra"|stats extra
2|unexpected argument "extra"|classify winhost extra
2|unexpected argument "extra"|to-posix winhost extra
2|not a numeric id|getpwuid winhost 4294967296
2|bad --timeout|check winhost --timeout=0
0|-|to-remote winhost --uid=0 --gid=0 --groups=1
0|-|auth winhost --uid 0 --gid 0 --call=536894033 3 127.0.0.1:$(cat "$tmp/recorder.port")
1|not converted: user $dom-9999|acl winhost --to-local --mode=drop $tmp/half
EOF
grep -qx "user S-1-22-1-0 rwx" "$tmp/out" || fail "the entry that mapped was not printed: $(cat "$tmp/out")"

# Every way a name leads nowhere is explained once, naming what to fix.
cp "$VELMO_HOSTS" "$tmp/hosts.good"
printf 'badport 127.0.0.9 x\nbadrange 127.0.0.9 70000\n' >> "$VELMO_HOSTS"
while IFS='|' read -r hosts host text; do
  VELMO_HOSTS=$hosts "$tool" to-remote "$host" --repeat 2 >/dev/null 2>"$tmp/err" && fail "to-remote $host succeeded"
  [ "$(grep -c -- "$text" "$tmp/err")" -eq 1 ] && grep -q "(status 1110)" "$tmp/err" ||
    fail "explanation for $host: $(cat "$tmp/err")"
done <<EOF
$tmp/none|winhost|the hosts file $tmp/none (VELMO_HOSTS) cannot be read: No such file or directory
$VELMO_HOSTS|badport|line 6 of the hosts file $VELMO_HOSTS names badport but its PORT "x" is not a number
$VELMO_HOSTS|badrange|line 7 of the hosts file $VELMO_HOSTS names badrange but its PORT 70000 is out of range
$VELMO_HOSTS|no-such-host.invalid|no-such-host.invalid is not in the hosts file $VELMO_HOSTS, and the resolver does not
EOF
cp "$tmp/hosts.good" "$VELMO_HOSTS"

# check: five hosts, five verdicts, each naming its step.  The silent server
# is given up on after 2 s; --verbose says at once what is waited for.
echo "gone 127.0.0.9 1" >> "$VELMO_HOSTS"
while read -r host code verdict step class; do
  got=0; "$tool" --json check "$host" --timeout 2 >"$tmp/doc" 2>/dev/null || got=$?
  python3 - "$tmp/doc" "$got" "$code" "$verdict" "$step" "$class" <<'PY' || fail "check $host: $(cat "$tmp/doc")"
import json, sys
d = json.load(open(sys.argv[1]))
got, code, verdict, step, klass = sys.argv[2:]
steps = {s["step"]: s["verdict"] for s in d["steps"]}
assert (got, d["verdict"], str(d["failed_step"]), str(d["class"])) == (code, verdict, step, klass), d
if verdict == "ok":
    want = "ok" if klass == "nt" else "skipped"
    assert steps == {"name": "ok", "broker": "ok", "host": "ok", "server": want, "contact": want,
                     "mapping": "ok"}, steps
else:
    assert list(steps)[-1] == step and steps[step] == "failed" and d["hint"], d
PY
done <<EOF
winhost 0 ok None nt
unixhost 0 ok None my_domain
gone 1 failed broker None
silent 1 failed contact nt
absent.invalid 1 failed name None
EOF
out=$("$tool" check gone) && fail "check gone succeeded"
grep -q "^gone: fails at the broker step: .*127.0.0.9:1 does not answer" <<<"$out" || fail "check text: $out"
timeout 4 "$tool" --verbose to-remote silent >/dev/null 2>"$tmp/err" || true
grep -q "^credmap: waiting for credmap_server of silent at 127.0.0.6:[0-9]*$" "$tmp/err" ||
  fail "waiting: $(cat "$tmp/err")"
cp "$tmp/hosts.good" "$VELMO_HOSTS"

# The shell keeps the caches between its commands: the second mapping is
# answered from them, dump shows the pair; a dump of its own points to it.
out=$(printf '%s\n' 'to-remote winhost --uid 0 --gid 1' '# a comment' 'to-remote winhost --uid 0 --gid 1 --repeat 1' \
  '--json stats' '--json dump' nonsense | "$tool" shell 2>"$tmp/err") && fail "a shell with a bad line ended with 0"
python3 - "$out" <<'PY' || fail "shell: $out"
import json, sys
stats, dump = [json.loads(l) for l in sys.argv[1].splitlines() if l.startswith("{")]
sid = {t["table"]: t for t in stats["tables"]}["Credmap SID loc->rmt"]
assert sid["hits"] >= 3 and sid["entries"] >= 3, stats
entries = {t["table"]: t["entries"] for t in dump["tables"]}["Credmap SID loc->rmt"]
assert "S-1-22-2-1 -> winhost:S-1-5-21-3623811015-3361044348-30300820-1221" in entries, entries
PY
grep -q "mapping 1: 0 requests" <<<"$out" && grep -q 'unknown command "nonsense"' "$tmp/err" || fail "shell: $out"
"$tool" dump 2>&1 >/dev/null | grep -q "fresh process has empty caches" || fail "dump does not point to the shell"

# A failed mapping says why once, however often it was tried; --verbose
# shows every message of the library.
"$tool" to-remote noserver --repeat 3 2>"$tmp/err" >/dev/null && fail "to-remote noserver succeeded"
[ -z "$(sort "$tmp/err" | uniq -d)" ] && [ "$(grep -c 'not registered' "$tmp/err")" -eq 1 ] ||
  fail "repeated messages: $(cat "$tmp/err")"
"$tool" --verbose to-remote noserver --repeat 3 2>"$tmp/err" >/dev/null && fail "to-remote noserver succeeded"
[ "$(grep -c 'Unable to contact credmap svr:noserver' "$tmp/err")" -gt 1 ] || fail "--verbose: $(cat "$tmp/err")"

# The hosts of the hosts file with their classes.
printf 'localhost 127.0.0.1 7711\ngone 127.0.0.9 1\nWINHOST 127.0.0.9 1\n' >> "$VELMO_HOSTS"
"$tool" --json hosts | python3 -c 'import json, sys
d = json.load(sys.stdin)
classes = {h["name"]: h["class"] for h in d["hosts"]}
assert classes == {"winhost": "nt", "unixhost": "my_domain", "noserver": "nt", "refuser": "nt", "silent": "nt",
                   "localhost": "local", "gone": "unreachable"}, classes' || fail "hosts --json"
"$tool" hosts | grep -q '^winhost .* Windows/NT (Windows Server 2022)$' || fail "hosts text"
# Completion offers those names.
out=$(bash -c '. "$1/contrib/bash-completion/credmap"; COMP_WORDS=(credmap to-remote g); COMP_CWORD=2
  _credmap; echo "${COMPREPLY[*]}"' - "$src")
[ "$out" = gone ] || fail "completion of host names: $out"

# The demo: every step, the requests it made, and no daemon left afterwards.
out=$("$tool" demo)
dir=$(sed -n 's/.*logs in \(.*\)):$/\1/p' <<<"$out")
sets=$(grep -c '  unchanged$' <<<"$out")
grep -qx -- "-- this process (uid $(id -u))" <<<"$out" || fail "this process's credentials in the demo"
grep -qx "   requests the server answered: $sets" <<<"$out" || fail "requests of the first mapping: $out"
grep -q "new requests to the server: 0 (all $sets sets" <<<"$out" || fail "second mapping not from the cache"
grep -qx "   requests for names the server answered: $sets" <<<"$out" || fail "requests of the way back: $out"
[ "$sets" -ge 1 ] && ! grep -q CHANGED <<<"$out" || fail "UNIX host"
grep -q "winhost is NT and is NOT in my domain" <<<"$out" || fail "dump"
grep -q "local account daemon  *back as it was" <<<"$out" || fail "round trip in the demo"
# www-data's group is not in the domain: its group and its one supplementary group come back as nobody.
! getent passwd www-data >/dev/null || grep -q "www-data  *back with 2 SID(s) the domain does not know as nobody$" <<<"$out" ||
  fail "www-data in the demo: $out"
grep -q "first : 502 groups, 502 of them domain groups (.*), 1 new requests" <<<"$out" || fail "large user: $out"
grep -q "second: 502 groups, .* 0 new requests" <<<"$out" || fail "large user in the demo: $out"
grep -q "S-1-22-1-0 -> winhost:S-1-5-21-3623811015-3361044348-30300820-1116" <<<"$out" || fail "dump pairs"
[ -n "$dir" ] && ! pgrep -f "$dir" >/dev/null || fail "daemons of the demo left running"
# Interrupted while its output waits in a full pipe: it says where the logs are and stops its daemons.
python3 - "$tool" >"$tmp/err" <<'PY' || fail "interrupted demo: $(cat "$tmp/err")"
import fcntl, os, signal, subprocess, sys
r, w = os.pipe()
fcntl.fcntl(w, 1031, 4096)  # F_SETPIPE_SZ: the demo blocks after its first writes
p = subprocess.Popen([sys.argv[1], "demo"], stdout=w, stderr=subprocess.PIPE)
os.close(w)
os.read(r, 4096)
p.send_signal(signal.SIGINT)
sys.stdout.write(p.communicate()[1].decode())
assert p.returncode == -signal.SIGINT, p.returncode
PY
dir=$(sed -n 's/^credmap demo: interrupted; the daemons are stopped, their logs are in \(.*\)$/\1/p' "$tmp/err")
[ -d "$dir" ] || fail "no folder of logs: $(cat "$tmp/err")"
for _ in $(seq 100); do pgrep -f "$dir" >/dev/null || break; sleep 0.05; done
! pgrep -f "$dir" >/dev/null || fail "daemons of the interrupted demo left running"
rm -rf "$dir"
echo "credmap tool: passed"
