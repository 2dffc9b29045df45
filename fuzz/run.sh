#!/usr/bin/env bash
# Runs fuzz targets of the fuzz build (cmake --preset fuzz) for SECONDS
# each, on scratch copies of their seed corpora so that the tree is left as
# it is, and fails when one finds a crash, a leak, undefined behaviour or a
# hang; the input that did is kept in build/fuzz/artifacts/.
#   fuzz/run.sh SECONDS [TARGET...]       (default: every target)
# Extra libFuzzer options go in FUZZ_ARGS (e.g. FUZZ_ARGS=-runs=10000000).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=$1
shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || mapfile -t targets < <(ls fuzz/corpus)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p build/fuzz/artifacts
failed=0
for t in "${targets[@]}"; do
  cp -r "fuzz/corpus/$t" "$scratch/$t"
  # Targets' own messages are dropped (-close_fd_mask); libFuzzer's and
  # the sanitizers' reports still come out.
  # shellcheck disable=SC2086
  if build/fuzz/fuzz/"${t}_fuzz" -max_total_time="$seconds" -timeout=10 -close_fd_mask=3 \
      -artifact_prefix="build/fuzz/artifacts/$t-" ${FUZZ_ARGS:-} "$scratch/$t" >"$scratch/$t.log" 2>&1; then
    sed -nE 's/^#([0-9]+)[[:space:]]+DONE +(cov: [0-9]+ ft: [0-9]+ corp: [^ ]+).*/'"$t"': \1 runs, \2/p' "$scratch/$t.log"
  else
    echo "$t: FAILED"
    grep -E 'ERROR|SUMMARY|property failed|Test unit written' "$scratch/$t.log" || tail -20 "$scratch/$t.log"
    failed=1
  fi
done
exit $failed
