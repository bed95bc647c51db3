#!/usr/bin/env bash
# Builds RecoverQelSD and shows its main job: recovering the records of one
# month from a sample binary card image into upload files.
set -eu
cd "$(dirname "$0")"
source scripts/packages.sh
ensure_packages "${native_packages[@]}"

cmake -S . -B build -DBUILD_TESTING=ON >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
echo "Built build/RecoverQelSD"

demo=build/demo
rm -rf "$demo" && mkdir -p "$demo"
build/tests/make_card binary "$demo/sample-card.img" "$demo/sample-card.records" --sectors 12000
cd "$demo"
echo
echo "\$ RecoverQelSD sample-card.img 20240101 20240115 AB12"
../RecoverQelSD sample-card.img 20240101 20240115 AB12 | tr '\r' '\n' | grep -v ' MBytes$' || true
echo
echo "Upload files written to $demo:"
ls -l AB12_*.txt
first=$(ls AB12_*.txt | head -n 1)
echo
echo "The first lines of $first:"
head -n 5 "$first"
