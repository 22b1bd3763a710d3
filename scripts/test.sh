#!/bin/sh
# Builds everything and runs every test: the CI build (g++, -Werror) with
# the whole test suite, and a clang build that must also be warning-free;
# then the tests in which the real agent host runs the hook, and last the
# fuzz targets on their corpora and for a bounded time.
set -eu
cd "$(dirname "$0")/.."

./scripts/deps.sh

echo "test: configuring and building with g++ (-Werror)"
cmake --preset ci -DCMAKE_CXX_COMPILER=g++ -DCMAKE_C_COMPILER=gcc >/dev/null
cmake --build --preset ci

# clang's warnings come from its front end, not from the optimiser, so an
# unoptimised build checks the same and takes a third less time.
echo "test: building with clang++ (-Werror)"
cmake -S . -B build/ci-clang -G Ninja -DCMAKE_BUILD_TYPE=None \
  -DTWK_WERROR=ON -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang >/dev/null
cmake --build build/ci-clang

echo "test: running the test suite"
ctest --preset ci -j"$(nproc)" --timeout 300 -LE host

echo "test: building with AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset asan >/dev/null
cmake --build --preset asan

echo "test: running the test suite under the sanitizers"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --preset asan -j"$(nproc)" --timeout 600 -LE 'host|package'

# The real agent host runs the hook. If the host cannot be installed, the
# test itself tries once more and then reports itself as skipped, with why.
echo "test: installing the agent host for the host tests"
./scripts/host-deps.sh || echo "test: the agent host could not be installed (see above)"
echo "test: running the tests in which the agent host runs the hook"
ctest --preset ci -L host -V

# Only the fuzz targets (and the libraries they link) are built here. Each
# replays its corpus and fuzzes for 10 s on a copy of it; any finding fails.
echo "test: building the fuzz targets (clang, libFuzzer, ASan, UBSan)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target fuzz_targets
echo "test: running the fuzz targets"
./scripts/fuzz.sh 10
