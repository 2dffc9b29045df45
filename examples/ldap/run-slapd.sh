#!/bin/sh
# Runs a throw-away OpenLDAP server that stands in for a domain controller:
# its configuration and database live in DIR, it listens on ADDRESS:PORT
# only, and it stays in the foreground (stop it with SIGTERM).  The first
# run in DIR writes the configuration and loads the LDIF files; later runs
# in the same DIR start the same database again.  The system's own slapd
# service is neither used nor touched.
#
#   run-slapd.sh DIR ADDRESS PORT SUFFIX [LDIF...]
#
# Anyone may read; cn=admin,SUFFIX binds with the password "credmap-test".
# Like a domain controller, the server hands out at most 100 entries a
# search (and a page); more only through paged results.
set -eu
[ $# -ge 4 ] || { echo "usage: $0 DIR ADDRESS PORT SUFFIX [LDIF...]" >&2; exit 2; }
dir=$1 address=$2 port=$3 suffix=$4
shift 4
here=$(cd "$(dirname "$0")" && pwd)
PATH=$PATH:/usr/sbin:/sbin
command -v slapd >/dev/null || { echo "$0: slapd is not installed" >&2; exit 3; }

if [ ! -f "$dir/slapd.conf" ]; then
  mkdir -p "$dir/db"
  cat > "$dir/slapd.conf.tmp" <<EOF
include /etc/ldap/schema/core.schema
include /etc/ldap/schema/cosine.schema
include $here/ad-lite.schema
pidfile $dir/slapd.pid
argsfile $dir/slapd.args
modulepath /usr/lib/ldap
moduleload back_mdb
loglevel none
sizelimit size.soft=100 size.hard=100 size.pr=100 size.prtotal=unlimited

database mdb
maxsize 67108864
suffix "$suffix"
rootdn "cn=admin,$suffix"
rootpw credmap-test
directory $dir/db
index objectClass eq
index sAMAccountName,cn,uid eq
index objectSid eq
index uidNumber,gidNumber eq
index member,memberUid eq
EOF
  for ldif in "$@"; do
    slapadd -q -f "$dir/slapd.conf.tmp" -l "$ldif"
  done
  mv "$dir/slapd.conf.tmp" "$dir/slapd.conf"
fi
exec slapd -f "$dir/slapd.conf" -h "ldap://$address:$port/" -d 0
