#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer and UndefinedBehaviorSanitizer) in
# build-fuzz, replays every kept regression input, fuzzes each target for a bounded time from its
# seed corpus and replays the corpus it grew. Exits non-zero on the first crash, leak or failed
# check; the input that caused it is left in build-fuzz/artifacts/<target>/.
#
#   scripts/fuzz.sh [--short] [--seconds N] [--runs N] [TARGET...]
#
#   --short      2000 runs per target from a fixed seed (what CI runs: the same inputs every
#                time, so a run's outcome does not depend on the machine's speed)
#   --seconds N  N seconds per target (default 60)
#   --runs N     stop each target after N executions instead of after a time
#   TARGET       fuzz only these (default: all of them)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build="$root/build-fuzz"

# The comment block at the top of this file, without its "# " marks.
usage() {
  sed -n '2,/^[^#]/{/^#/s/^# \{0,1\}//p}' "$0"
}

seconds=60
runs=""
seed=""
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --short) runs=2000; seed=1 ;;
    --seconds) seconds=$2; shift ;;
    --runs) runs=$2; shift ;;
    -h|--help) usage; exit 0 ;;
    -*) echo "fuzz.sh: unknown option $1" >&2; exit 2 ;;
    *) targets+=("$1") ;;
  esac
  shift
done
all_targets=(fuzz_mp3_read fuzz_flac_read fuzz_mp4_read fuzz_ogg_read fuzz_tags_json
             fuzz_batch_paths fuzz_write_roundtrip fuzz_bounded_read)
[ ${#targets[@]} -gt 0 ] || targets=("${all_targets[@]}")

if ! command -v clang++ >/dev/null; then
  echo "fuzz.sh: clang++ not found (scripts/setup.sh robust installs it)" >&2
  exit 1
fi

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQID3_BUILD_FUZZ=ON -DQID3_BUILD_TESTS=OFF -DQID3_BUILD_CLI=OFF >/dev/null
cmake --build "$build" --target qid3_fuzzers -j"$(nproc 2>/dev/null || echo 2)" >/dev/null

# Seeds are made afresh each time; what the fuzzers add to the corpus stays between runs. The
# scripts run Python as Debian's /usr/bin/python3, the interpreter scripts/setup.sh installs (and
# the one that sees its python3-* packages), whatever else comes first on PATH.
/usr/bin/python3 "$root/fuzz/make_seeds.py" "$build/seeds" "$root/samples"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:symbolize=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

for t in "${targets[@]}"; do
  bin="$build/fuzz/$t"
  corpus="$build/corpus/$t"
  artifacts="$build/artifacts/$t"
  mkdir -p "$corpus" "$artifacts"
  regressions="$root/fuzz/regressions/$t"

  if [ -d "$regressions" ] && [ -n "$(ls -A "$regressions")" ]; then
    echo "== $t: replaying $(ls "$regressions" | wc -l) regression inputs"
    "$bin" -runs=1 "$regressions"/* >"$artifacts/regressions.log" 2>&1 ||
      { tail -n 40 "$artifacts/regressions.log"; echo "fuzz.sh: $t failed on a regression input" >&2; exit 1; }
  fi

  # Small inputs reach the readers' and parsers' corners fastest; the round trip also takes files
  # with a real cover and audio behind the tags.
  case "$t" in
    fuzz_tags_json|fuzz_batch_paths) max_len=4096 ;;
    fuzz_write_roundtrip) max_len=65536 ;;
    *) max_len=16384 ;;
  esac
  limit=(-max_total_time="$seconds")
  [ -z "$runs" ] || limit=(-runs="$runs")
  [ -z "$seed" ] || limit+=(-seed="$seed")
  echo "== $t: fuzzing (${limit[*]})"
  "$bin" "${limit[@]}" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "$corpus" "$build/seeds/$t" >"$artifacts/fuzz.log" 2>&1 ||
    { tail -n 60 "$artifacts/fuzz.log"; echo "fuzz.sh: $t found a fault; input in $artifacts" >&2; exit 1; }
  grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' "$artifacts/fuzz.log" | tr '\n' ' '
  echo

  echo "== $t: replaying its corpus ($(ls "$corpus" | wc -l) inputs)"
  "$bin" -runs=0 "$corpus" >"$artifacts/replay.log" 2>&1 ||
    { tail -n 40 "$artifacts/replay.log"; echo "fuzz.sh: $t failed replaying its corpus" >&2; exit 1; }
done
echo "fuzz.sh: all targets passed"
