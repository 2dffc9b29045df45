#!/usr/bin/env bash
# Installs the project into a scratch prefix, builds examples/getpwnam.c
# against the installed headers and libraries as a user would, and runs it
# against two simulated hosts named in a hosts file: a Windows host and a
# UNIX host.
#   installed_example.sh BUILD_DIR SOURCE_DIR [SANITIZERS]
set -euo pipefail
build=$1 src=$2 sanitize=${3:-}
. "$(dirname "$0")/sim_hosts.sh"

cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
# Every header in the project's own folder, nothing beside it.
[ "$(ls "$tmp/prefix/include")" = velmocredmap ] || { ls -R "$tmp/prefix/include"; exit 1; }
pc=$(dirname "$(find "$tmp/prefix" -name velmocredmap.pc)")
libdir=$(dirname "$(find "$tmp/prefix" -name 'libvelmocredmap.so' | head -n 1)")
flags=$(PKG_CONFIG_PATH=$pc pkg-config --cflags --libs velmocredmap)
cc -std=c11 -Wall -Wextra -Werror ${sanitize:+-fsanitize=$sanitize} "$src/examples/getpwnam.c" $flags \
   -Wl,-rpath,"$libdir" -o "$tmp/getpwnam"

prefix=$tmp/prefix
start_host winhost 127.0.0.2 "Windows Server 2022" "$prefix/sbin/hubd" "$prefix/sbin/credmap_server" \
  "$src/examples/korvantis.accounts"
start_host unixhost 127.0.0.3 Linux "$prefix/sbin/hubd"

out=$("$tmp/getpwnam" winhost alice)
echo "$out"
grep -q '^server attributes: 0x2 (accepts NT SIDs)$' <<<"$out"
grep -q '^KORVANTIS\\Alice S-1-5-21-3623811015-3361044348-30300820-1104$' <<<"$out"
# The UNIX host has no credmap_server, and an unknown host no broker: a
# clear status each, no hang.
for host in unixhost no-such-host.invalid; do
  if "$tmp/getpwnam" "$host" alice 2>"$tmp/err"; then
    echo "$host was answered"; exit 1
  fi
  cat "$tmp/err"
done
echo "installed example: passed"
