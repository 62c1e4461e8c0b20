#!/usr/bin/env bash
# Installs what is missing, checks formatting and include layering, then builds and runs every
# test twice over: once as shipped (unit, end-to-end and hostile-client tests), once with
# AddressSanitizer and UndefinedBehaviorSanitizer (unit and end-to-end tests, then the fuzzer for
# FUZZ_SECONDS, 60 by default).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

echo "== formatting and include layering =="
checks=0
scripts/check-format.sh || checks=1
scripts/check-layers.py || checks=1  # both report before the script stops
[ "$checks" -eq 0 ]

jobs=$(nproc)
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

echo "== build and test =="
rm -rf build-test
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-test -j"$jobs"
ctest --test-dir build-test --output-on-failure --timeout 900 -j"$jobs" -E hostile
ctest --test-dir build-test --output-on-failure --timeout 900 -R hostile

echo "== sanitizers =="
rm -rf build-asan
CC=clang-14 CXX=clang++-14 cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DDRENNIK_SANITIZE=ON -DDRENNIK_FUZZ=ON >/dev/null
cmake --build build-asan -j"$jobs"
ctest --test-dir build-asan --output-on-failure --timeout 900 -j"$jobs" -E hostile

echo "== fuzzing for ${FUZZ_SECONDS:-60} s =="
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus"
cp tests/fuzz/corpus/* "$work/corpus"/
status=0
build-asan/tests/fuzz/drennik_fuzz_conversation -max_total_time="${FUZZ_SECONDS:-60}" \
    -max_len=262144 -dict=tests/fuzz/conversation.dict \
    -print_final_stats=1 -artifact_prefix="$work/" "$work/corpus" >"$work/log" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
    tail -60 "$work/log"
    echo "fuzzing found a fault (exit $status)"
    exit "$status"
fi
grep -E "DONE|^stat::number_of_executed_units" "$work/log"

echo "== Debian package =="
scripts/package.sh
scripts/test-package.sh
