#!/usr/bin/env bash
# Builds the release packages: dist/RecoverQelSD-<version>-win64.zip from the
# Windows build, and the .deb and .tar.gz from the native build.
set -eu
cd "$(dirname "$0")/.."
source scripts/packages.sh
ensure_packages "${native_packages[@]}" "${windows_packages[@]}" "${package_packages[@]}"
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build-release -j"$(nproc)" >/dev/null
cmake -S . -B build-release-windows -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >/dev/null
cmake --build build-release-windows -j"$(nproc)" >/dev/null
mkdir -p dist
(cd build-release && cpack >/dev/null)
(cd build-release-windows && cpack >/dev/null)
cp build-release/*.deb build-release/*.tar.gz build-release-windows/*.zip dist/
ls -l dist
