#!/usr/bin/env bash
# Runs every test: the unit tests and the end-to-end tests, of the native
# build and of the Windows build under Wine. Installs what is missing first.
set -u
cd "$(dirname "$0")"
source scripts/packages.sh
ensure_packages "${native_packages[@]}" "${windows_packages[@]}" "${card_image_packages[@]}" \
    "${damaged_card_packages[@]}" "${rescue_packages[@]}" "${report_packages[@]}" "${package_packages[@]}" "${fuzz_packages[@]}" || exit 1

jobs=$(nproc)
set -e
cmake -S . -B build -DBUILD_TESTING=ON >/dev/null
cmake --build build -j"$jobs" >/dev/null
cmake -S . -B build-windows -DBUILD_TESTING=ON -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >/dev/null
cmake --build build-windows -j"$jobs" >/dev/null
cmake -S . -B build-asan -DBUILD_TESTING=ON -DRECOVERQEL_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs" >/dev/null
cmake -S . -B build-tsan -DBUILD_TESTING=ON -DRECOVERQEL_THREAD_SANITIZE=ON >/dev/null
cmake --build build-tsan -j"$jobs" >/dev/null
set +e

export WINEDEBUG=-all WINEPREFIX=$PWD/build-windows/wineprefix
[ -d "$WINEPREFIX/dosdevices" ] || wineboot -i >/dev/null 2>&1

failed=()
step() {
    local name=$1
    shift
    echo "== $name"
    "$@" || failed+=("$name")
}

step "unit tests (native)" build/tests/unit_tests --gtest_brief=1
# Wine output goes to a file, not a pipe: its helpers keep a pipe open after the program ends.
wine_unit_tests() {
    wine build-windows/tests/unit_tests.exe --gtest_brief=1 >build-windows/unit_tests.log 2>&1
    local status=$?
    sed 's/\r$//' build-windows/unit_tests.log
    return $status
}
step "unit tests (Windows, Wine)" wine_unit_tests
step "binary cards end to end (native)" bash tests/e2e/binary_card.sh native build/RecoverQelSD build/tests
step "binary cards end to end (Windows, Wine)" bash tests/e2e/binary_card.sh windows build-windows/RecoverQelSD.exe build/tests
step "text cards end to end (native)" bash tests/e2e/text_card.sh native build/RecoverQelSD
step "text cards end to end (Windows, Wine)" bash tests/e2e/text_card.sh windows build-windows/RecoverQelSD.exe
step "interrupts end to end (native)" bash tests/e2e/interrupt.sh build/RecoverQelSD
step "damaged cards end to end (native)" bash tests/e2e/damaged_card.sh native build/RecoverQelSD build/tests
step "damaged cards end to end (Windows, Wine)" bash tests/e2e/damaged_card.sh windows build-windows/RecoverQelSD.exe build/tests
step "images and mapfiles end to end (native)" bash tests/e2e/image.sh native build/RecoverQelSD build/tests
step "images and mapfiles end to end (Windows, Wine)" bash tests/e2e/image.sh windows build-windows/RecoverQelSD.exe build/tests
step "reports and recovery options end to end (native)" bash tests/e2e/report.sh native build/RecoverQelSD build/tests
step "reports and recovery options end to end (Windows, Wine)" bash tests/e2e/report.sh windows build-windows/RecoverQelSD.exe build/tests
step "two runs in one directory end to end (native)" bash tests/e2e/directory_lock.sh native build/RecoverQelSD build/tests
step "two runs in one directory end to end (Windows, Wine)" bash tests/e2e/directory_lock.sh windows build-windows/RecoverQelSD.exe build/tests
step "full disks end to end (native)" bash tests/e2e/full_disk.sh native build/RecoverQelSD build/tests
step "full disks end to end (Windows, Wine)" bash tests/e2e/full_disk.sh windows build-windows/RecoverQelSD.exe build/tests
step "closing the console end to end (Windows, Wine)" bash tests/e2e/console_close.sh windows build-windows/RecoverQelSD.exe build/tests build-windows/tests
step "release packages (.deb, .tar.gz, Windows zip)" bash tests/e2e/packages.sh build build-windows

# The native tests again in a checked build, each command run through WRAPPER, which sets the
# checker's options: checked_tests LABEL WRAPPER BUILD_DIR.
checked_tests() {
    local label=$1 wrap=$2 dir=$3
    step "unit tests ($label)" "$wrap" "$dir/tests/unit_tests" --gtest_brief=1
    step "binary cards end to end ($label)" "$wrap" bash tests/e2e/binary_card.sh native "$dir/RecoverQelSD" "$dir/tests"
    step "text cards end to end ($label)" "$wrap" bash tests/e2e/text_card.sh native "$dir/RecoverQelSD"
    step "interrupts end to end ($label)" "$wrap" bash tests/e2e/interrupt.sh "$dir/RecoverQelSD"
    step "damaged cards end to end ($label)" "$wrap" bash tests/e2e/damaged_card.sh native "$dir/RecoverQelSD" "$dir/tests"
    step "images and mapfiles end to end ($label)" "$wrap" bash tests/e2e/image.sh native "$dir/RecoverQelSD" "$dir/tests"
    step "reports and recovery options end to end ($label)" "$wrap" bash tests/e2e/report.sh native "$dir/RecoverQelSD" "$dir/tests"
    step "two runs in one directory end to end ($label)" "$wrap" bash tests/e2e/directory_lock.sh native "$dir/RecoverQelSD" "$dir/tests"
    step "full disks end to end ($label)" "$wrap" bash tests/e2e/full_disk.sh native "$dir/RecoverQelSD" "$dir/tests"
}
# AddressSanitizer and UndefinedBehaviorSanitizer, then ThreadSanitizer for the threads that read
# the card ahead and store sorted day files. A report ends the program with exit code 86, which no
# test expects of the tool.
sanitized() { ASAN_OPTIONS=exitcode=86 UBSAN_OPTIONS=print_stacktrace=1:exitcode=86 "$@"; }
thread_checked() { TSAN_OPTIONS=exitcode=86:halt_on_error=1 "$@"; }
checked_tests sanitizers sanitized build-asan
checked_tests ThreadSanitizer thread_checked build-tsan
step "fuzz targets, 15 s each" bash fuzz/run.sh 15

if [ "${#failed[@]}" -ne 0 ]; then
    printf 'FAILED: %s\n' "${failed[@]}"
    exit 1
fi
echo "All tests passed."
