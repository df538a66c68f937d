#!/bin/sh
# Builds the line-table fuzz target with clang's libFuzzer, beside the
# gcc build, and runs it for a bounded time from the committed seeds.
#   run_fuzz.sh SOURCE_DIR OUTPUT_DIR
# KELVANE_FUZZ_SECONDS sets the run time (60 by default). Exit status 77
# (skipped) when no clang++ is installed; any input that breaks an
# invariant fails the run and is kept as OUTPUT_DIR/crash-*.
set -eu

source_dir=$1
out=$2
seconds=${KELVANE_FUZZ_SECONDS:-60}
here=$(cd "$(dirname "$0")" && pwd)

cxx=""
for candidate in clang++ clang++-19 clang++-18 clang++-17 clang++-16 clang++-15 clang++-14; do
	if command -v "$candidate" >/dev/null 2>&1; then
		cxx=$candidate
		break
	fi
done
if [ -z "$cxx" ]; then
	echo "clang++ not found: the fuzz run is skipped (Debian: apt-get install clang)"
	exit 77
fi

# The target works in a private directory of its own, so every path
# handed to it must be absolute.
mkdir -p "$out"
out=$(cd "$out" && pwd)
target=$out/inittab_fuzz
echo "building $target with $cxx"
if ! "$cxx" -std=c++17 -g -O1 -fno-omit-frame-pointer \
	-fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
	-D_GNU_SOURCE -D_FILE_OFFSET_BITS=64 -I"$source_dir/src" \
	"$here/inittab_fuzz.cpp" "$source_dir/src/inittab_edit.cpp" "$source_dir/src/file_services.cpp" \
	-o "$target"; then
	echo "cannot build the fuzz target: libFuzzer comes with clang's runtime" \
		"(Debian: libclang-rt-dev or libclang-rt-NN-dev)"
	exit 1
fi

# The committed seeds stay as they are; what the run finds grows a copy.
rm -rf "$out/corpus"
rm -f "$out"/crash-* "$out"/leak-* "$out"/timeout-* "$out"/oom-*
mkdir -p "$out/corpus"
cp "$here"/corpus/* "$out/corpus/"

# Every input rewrites small files many times; on ext4 a truncated and
# rewritten file is flushed at close, which costs most of the run, so the
# working copies live in memory where a tmpfs allows it.
scratch=""
for base in /dev/shm "$out"; do
	if [ -d "$base" ] && [ -w "$base" ] && scratch=$(mktemp -d "$base/kelvane-fuzz.XXXXXX" 2>/dev/null); then
		break
	fi
done
[ -n "$scratch" ] || { echo "no directory for the working copies"; exit 1; }
trap 'rm -rf "$scratch"' EXIT

echo "fuzzing for $seconds seconds"
status=0
TMPDIR=$scratch ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	"$target" -max_total_time="$seconds" -max_len=8192 -timeout=20 -rss_limit_mb=2048 \
	-error_exitcode=1 -timeout_exitcode=1 -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$out/" \
	"$out/corpus" >"$out/fuzz.log" 2>&1 || status=$?

if [ "$status" -eq 0 ]; then
	grep -E '^(INFO: (Running|Seed|Loaded)|#[0-9]+.*(INITED|DONE)|Done|stat::)' "$out/fuzz.log" || true
else
	grep -v -E '^("|###### )' "$out/fuzz.log" | tail -n 80
fi
execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/fuzz.log" | tail -n 1)
echo "inputs fuzzed: ${execs:-unknown}; corpus now $(ls "$out/corpus" | wc -l) inputs"
if [ "$status" -ne 0 ]; then
	echo "the fuzz run failed (status $status); reproduce with: $target $(ls "$out"/crash-* "$out"/leak-* "$out"/timeout-* 2>/dev/null | head -n 1)"
	exit 1
fi
