#!/usr/bin/env bash
# Installs the project into a scratch prefix, builds examples/getpwnam.c
# against the installed headers and libraries as a user would, and runs it
# against two simulated hosts named in a hosts file: a Windows host and a
# UNIX host.
#   installed_example.sh BUILD_DIR SOURCE_DIR [SANITIZERS]
set -euo pipefail
build=$1 src=$2 sanitize=${3:-}
tmp=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT

cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
pc=$(dirname "$(find "$tmp/prefix" -name velmocredmap.pc)")
libdir=$(dirname "$(find "$tmp/prefix" -name 'libvelmocredmap.so' | head -n 1)")
flags=$(PKG_CONFIG_PATH=$pc pkg-config --cflags --libs velmocredmap)
cc -std=c11 -Wall -Wextra -Werror ${sanitize:+-fsanitize=$sanitize} "$src/examples/getpwnam.c" $flags \
   -Wl,-rpath,"$libdir" -o "$tmp/getpwnam"

start_host() { # NAME ADDRESS OS-NAME
  "$tmp/prefix/sbin/hubd" --address "$2" --port 0 --port-file "$tmp/$1.port" --host-name "$1" --os-name "$3" \
    --start "credmap_server=$tmp/prefix/sbin/credmap_server --accounts $src/examples/korvantis.accounts" \
    2>>"$tmp/daemons.log" &
  pids+=($!)
  for _ in $(seq 500); do [ -s "$tmp/$1.port" ] && break; sleep 0.01; done
  echo "$1 $2 $(cat "$tmp/$1.port")" >> "$tmp/hosts"
}
start_host winhost 127.0.0.2 "Windows Server 2022"
start_host unixhost 127.0.0.3 "Linux"

out=$(VELMO_HOSTS="$tmp/hosts" "$tmp/getpwnam" winhost alice)
echo "$out"
grep -q '^server attributes: 0x2 (accepts NT SIDs)$' <<<"$out"
grep -q '^KORVANTIS\\Alice S-1-5-21-3623811015-3361044348-30300820-1104$' <<<"$out"
# The UNIX host has no credmap_server to start: a clear status, no hang.
if VELMO_HOSTS="$tmp/hosts" "$tmp/getpwnam" no-such-host.invalid alice 2>"$tmp/err"; then
  echo "an unknown host was answered"; exit 1
fi
cat "$tmp/err"
echo "installed example: passed"
