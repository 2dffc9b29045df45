#!/usr/bin/env bash
#   [FUZZ_BUILD=build/fuzz] [FUZZ_ARGS=libFuzzer options] fuzz/run.sh SECONDS [TARGET...]
# Runs fuzz targets (default: all) for SECONDS each on scratch copies of their corpora; fails when one finds a crash,
# a leak, undefined behaviour or a hang, and keeps that input in FUZZ_BUILD/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${FUZZ_BUILD:-build/fuzz}
seconds=$1
targets=("${@:2}")
[ ${#targets[@]} -gt 0 ] || mapfile -t targets < <(ls fuzz/corpus)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$build/artifacts"
failed=0
for t in "${targets[@]}"; do
  cp -r "fuzz/corpus/$t" "$scratch/$t"
  # shellcheck disable=SC2086
  if "$build/fuzz/${t}_fuzz" -max_total_time="$seconds" -timeout=10 -close_fd_mask=3 \
      -artifact_prefix="$build/artifacts/$t-" ${FUZZ_ARGS:-} "$scratch/$t" >"$scratch/$t.log" 2>&1; then
    sed -nE 's/^#([0-9]+)[[:space:]]+DONE +(cov: [0-9]+ ft: [0-9]+ corp: [^ ]+).*/'"$t"': \1 runs, \2/p' "$scratch/$t.log"
  else
    echo "$t: FAILED"
    grep -E 'ERROR|SUMMARY|property failed|Test unit written' "$scratch/$t.log" || tail -20 "$scratch/$t.log"
    failed=1
  fi
done
exit $failed
