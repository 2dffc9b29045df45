#!/usr/bin/env bash
# Every manual page renders without a warning, and says what the code
# offers: each command and option of credmap, hubd and credmap_server (and
# the server's LDAP attribute keys), each call of <velmo/credmap.h> and each
# environment variable of the library.
#   manpages.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 src=$2
fail() { echo "FAILED: $*"; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

for page in credmap.1 libvelmocredmap.3 velmo-accounts.5 velmo-hosts.5 hubd.8 credmap_server.8; do
  MANWIDTH=80 man --warnings -l "$build/man/$page" >"$tmp/$page.txt" 2>"$tmp/$page.err"
  [ ! -s "$tmp/$page.err" ] || { cat "$tmp/$page.err"; fail "$page renders with warnings"; }
  grep -q '^NAME' "$tmp/$page.txt" && grep -q '^SEE ALSO' "$tmp/$page.txt" || fail "$page is incomplete"
  # Lines long enough that no word is broken, for the searches below.
  MANWIDTH=1000 man -l "$build/man/$page" 2>/dev/null >"$tmp/$page.wide"
done

# covers PAGE WORD...: every word appears in the page.
covers() {
  local page=$1 missing=()
  shift
  for word in "$@"; do grep -qF -- "$word" "$tmp/$page.wide" || missing+=("$word"); done
  [ ${#missing[@]} -eq 0 ] || fail "$page does not mention: ${missing[*]}"
}
options() { grep -oE -- '--[a-z][a-z-]+' | sort -u; }

tool=$build/tools/credmap/credmap
commands=$("$tool" --help | sed -n 's/^  \([a-z][a-z-]*\) .*/\1/p; s/^  \([a-z][a-z-]*\)$/\1/p')
[ -n "$commands" ] || fail "no commands in credmap --help"
covers credmap.1 $commands $( { "$tool" --help; for c in $commands; do "$tool" "$c" --help; done; } | options)
covers hubd.8 $("$build/server/hubd" --help | options)
server_help=$("$build/server/credmap_server" --help)
covers credmap_server.8 $(options <<<"$server_help") $(sed -n 's/^    \([a-z-]*\)=.*/\1/p' <<<"$server_help")
covers libvelmocredmap.3 $(sed -n 's/^VELMO_API [^(]*[ *]\([a-z_]*\)(.*/\1/p' "$src/include/velmo/credmap.h") \
  KORVANTIS_CREDMAP_DUMP VELMO_HOSTS VELMO_TRACE VELMO_VERBOSITY VELMO_FXTAB_MAX_ENTRIES VELMO_LOCATION_CACHE \
  VELMO_CREDMAP_TTL
echo "manual pages: passed"
