#!/usr/bin/env bash
# Compares the functions and data a shared object exports with a list.
#   check_exports.sh LIBRARY LIST exact    the exports are exactly the list
#   check_exports.sh LIBRARY LIST includes every name of the list is exported
set -euo pipefail
lib=$1 list=$2 mode=$3
actual=$(nm -D --defined-only "$lib" | awk '$2 != "A" { sub(/@.*/, "", $3); print $3 }' | sort -u)
expected=$(grep -v '^#' "$list" | sed '/^$/d' | sort -u)
missing=$(comm -13 <(echo "$actual") <(echo "$expected"))
extra=$(comm -23 <(echo "$actual") <(echo "$expected"))
status=0
if [ -n "$missing" ]; then echo "not exported by $(basename "$lib"):"; echo "$missing"; status=1; fi
if [ "$mode" = exact ] && [ -n "$extra" ]; then echo "exported but not part of the interface:"; echo "$extra"; status=1; fi
[ $status -eq 0 ] && echo "$(basename "$lib"): $(echo "$expected" | wc -l) names checked ($mode)"
exit $status
