#!/bin/sh
# Builds everything and runs every test: the CI build (g++, -Werror) with
# the whole test suite, and a clang build that must also be warning-free.
set -eu
cd "$(dirname "$0")/.."

./scripts/deps.sh

echo "test: configuring and building with g++ (-Werror)"
cmake --preset ci -DCMAKE_CXX_COMPILER=g++ -DCMAKE_C_COMPILER=gcc >/dev/null
cmake --build --preset ci

echo "test: building with clang++ (-Werror)"
cmake -S . -B build/ci-clang -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DTWK_WERROR=ON -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang >/dev/null
cmake --build build/ci-clang

echo "test: running the test suite"
ctest --preset ci -j"$(nproc)" --timeout 300
