# Simulated hosts for the shell tests, to be sourced: a scratch folder with a
# hosts file, hubd daemons on loopback addresses, all stopped at exit.
#   sim_init                          scratch folder in $tmp, VELMO_HOSTS set
#   start_host NAME ADDRESS OS HUBD [SERVER ACCOUNTS]
#                                     a host whose hubd reports OS, starting
#                                     SERVER on demand when given; servers
#                                     register on $tmp/NAME.socket
tmp=$(mktemp -d)
sim_pids=()
sim_cleanup() {
  for p in "${sim_pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$tmp"
}
trap sim_cleanup EXIT
export VELMO_HOSTS=$tmp/hosts
: > "$VELMO_HOSTS"

start_host() {
  local start=()
  [ -n "${5:-}" ] && start=(--start "credmap_server=$5 --accounts $6")
  "$4" --address "$2" --port 0 --port-file "$tmp/$1.port" --socket "$tmp/$1.socket" \
    --host-name "$1" --os-name "$3" "${start[@]}" 2>>"$tmp/daemons.log" &
  sim_pids+=($!)
  for _ in $(seq 500); do [ -s "$tmp/$1.port" ] && break; sleep 0.01; done
  echo "$1 $2 $(cat "$tmp/$1.port")" >> "$VELMO_HOSTS"
}
