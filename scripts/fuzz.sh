#!/usr/bin/env bash
# Builds the fuzz preset and runs each libFuzzer target for a bounded time
# on a scratch copy of its seed corpus (the committed one is never
# changed). Exits non-zero when a target finds a crash or does not run.
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET]     default 20; e.g. 600 for a long run
#
# Crashing inputs land in build/fuzz/fuzz-artifacts/<target>/, each run's
# log in build/fuzz/fuzz-logs/<target>.log.
set -uo pipefail

seconds=${1:-20}
if ! [[ $seconds =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: $0 [SECONDS_PER_TARGET]" >&2
    exit 2
fi

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
targets=(fuzz_parser fuzz_init_file fuzz_receive fuzz_write_value)
build=$root/build/fuzz

cmake --preset fuzz >/dev/null || exit 1
cmake --build "$build" -j2 --target "${targets[@]}" || exit 1

# The targets make their working directories under TMPDIR; one that
# crashed cannot remove its own, so all of them go when the script ends.
# Memory-backed where there is /dev/shm: each input writes a file.
if [[ -d /dev/shm && -w /dev/shm ]]; then
    scratch=$(mktemp -d /dev/shm/draxo-fuzz-run.XXXXXX)
else
    scratch=$(mktemp -d "$build/fuzz-tmp.XXXXXX")
fi
trap 'rm -rf "$scratch"' EXIT
export TMPDIR=$scratch

passed=0
failed=0
for t in "${targets[@]}"; do
    corpus=$build/fuzz-corpus/$t
    artifacts=$build/fuzz-artifacts/$t
    log=$build/fuzz-logs/$t.log
    rm -rf "$corpus" "$artifacts"
    mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
    cp "$root/fuzz/corpus/$t"/* "$corpus"/

    # Absolute paths throughout: the targets work in a temporary directory
    # of their own.
    start=$(date +%s)
    "$build/bin/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" >"$log" 2>&1
    rc=$?
    elapsed=$(($(date +%s) - start))

    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1)
    if [[ $rc -eq 0 ]]; then
        status=passed
        passed=$((passed + 1))
    else
        status=FAILED
        failed=$((failed + 1))
    fi
    printf '%-17s %s: %s executions (%s/s), %s, %d s\n' "$t" "$status" "${execs:-?}" \
        "${rate:-?}" "${cov:-cov: ?}" "$elapsed"
    if [[ $rc -ne 0 ]]; then
        grep -E 'check failed|ERROR: |SUMMARY: |^    #[0-9]+ .* in draxo' "$log" | head -20 | sed 's/^/    /'
        for a in "$artifacts"/*; do
            [[ -e $a ]] && echo "    input: $a"
        done
        echo "    log: $log"
    fi
done

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
