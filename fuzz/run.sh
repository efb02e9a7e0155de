#!/usr/bin/env bash
# Builds the fuzzers with clang and runs each for a bounded time; fails on any crash or
# sanitizer report. usage: fuzz/run.sh [SECONDS_EACH] [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
seconds=${1:-30}
build=${2:-$here/../build-fuzz}
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build"
for fuzzer in "$build"/fuzz_*; do
    # The logs and crash inputs of earlier runs live beside the fuzzers and share the prefix.
    [ -f "$fuzzer" ] && [ -x "$fuzzer" ] || continue
    name=$(basename "$fuzzer")
    seeds=$here/corpus/${name#fuzz_}
    work=$(mktemp -d)  # new inputs go here, so the committed seeds stay small
    echo "fuzz: $name for ${seconds}s"
    "$fuzzer" -max_total_time="$seconds" -max_len=1024 -print_final_stats=1 \
        -artifact_prefix="$build/$name-" "$work" "$seeds" 2>"$build/$name.log" ||
        { tail -n 40 "$build/$name.log"; rm -rf "$work"; exit 1; }
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)' "$build/$name.log" || true
    rm -rf "$work"
done
