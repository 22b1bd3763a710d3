#!/bin/sh
# Runs every libFuzzer target of the `fuzz` preset (built beforehand, e.g.
# `cmake --build --preset fuzz --target fuzz_targets`): each one replays its
# corpus, fuzz/corpus/NAME for NAME_fuzz, and then fuzzes for SECONDS
# (default 20). A target's dictionary is the one its source names in its
# usage line ("-dict=fuzz/X.dict").
#
# The corpus is copied to a temporary directory first, so nothing the
# fuzzer finds is written into the tree. A crash, a sanitizer report, a leak,
# an input slower than 5 s or a run over 2 GB fails the script, after all
# targets have run; what triggered it is kept in build/fuzz/artifacts/NAME/.
set -eu
cd "$(dirname "$0")/.."

seconds="${1:-20}"
case "$seconds" in
  ''|*[!0-9]*) echo "usage: $0 [SECONDS]" >&2; exit 2 ;;
esac
bin_dir=build/fuzz/fuzz
artifacts=build/fuzz/artifacts

# Readable stack traces, and undefined behaviour is a failure, not a note.
if [ -x /usr/lib/llvm-14/bin/llvm-symbolizer ]; then
  ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-14/bin/llvm-symbolizer
  export ASAN_SYMBOLIZER_PATH
fi
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export ASAN_OPTIONS UBSAN_OPTIONS

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

failed=""
ran=0
for source in fuzz/*_fuzz.cc; do
  name="$(basename "$source" .cc)"
  corpus="fuzz/corpus/${name%_fuzz}"
  if [ ! -x "$bin_dir/$name" ]; then
    echo "fuzz: $bin_dir/$name is missing; build the fuzz preset first" >&2
    failed="$failed $name"
    continue
  fi
  if [ ! -d "$corpus" ]; then
    echo "fuzz: $name has no corpus directory $corpus" >&2
    failed="$failed $name"
    continue
  fi
  dict="$(sed -n 's/.*-dict=\([^ ]*\).*/\1/p' "$source" | head -n 1)"
  if [ -n "$dict" ] && [ ! -f "$dict" ]; then
    echo "fuzz: $name names a missing dictionary $dict" >&2
    failed="$failed $name"
    continue
  fi

  mkdir -p "$work/$name/corpus" "$work/$name/out"
  cp -R "$corpus/." "$work/$name/corpus/"
  echo "fuzz: $name: replaying $(find "$corpus" -type f | wc -l) inputs, then ${seconds}s"
  # libFuzzer prints a line per new input; the summary and any report are
  # what matter in a CI log.
  if "$bin_dir/$name" -max_total_time="$seconds" -rss_limit_mb=2048 \
       -timeout=5 -print_final_stats=1 -artifact_prefix="$work/$name/out/" \
       ${dict:+-dict="$dict"} "$work/$name/corpus" >"$work/$name/log" 2>&1; then
    grep -E '^(stat::number_of_executed_units|stat::new_units_added)' \
      "$work/$name/log" | sed "s/^/fuzz: $name: /"
  else
    status=$?
    grep -v -E '^#[0-9]+[[:space:]]+(NEW|REDUCE|pulse|INITED|RELOAD)' \
      "$work/$name/log" | tail -n 80 >&2
    rm -rf "${artifacts:?}/$name"
    mkdir -p "$artifacts/$name"
    cp "$work/$name/out/"* "$artifacts/$name/" 2>/dev/null || true
    echo "fuzz: $name FAILED (exit $status); inputs in $artifacts/$name/" >&2
    failed="$failed $name"
  fi
  ran=$((ran + 1))
done

if [ "$ran" -eq 0 ] && [ -z "$failed" ]; then
  echo "fuzz: no fuzz targets found under fuzz/" >&2
  exit 1
fi
if [ -n "$failed" ]; then
  echo "fuzz: failed:$failed" >&2
  exit 1
fi
echo "fuzz: all $ran targets passed"
