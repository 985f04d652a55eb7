#!/usr/bin/env bash
# Builds everything and runs every test: the normal build (program, GUI tests
# offscreen with the real browser engine), then the non-GUI parts again under
# AddressSanitizer + UndefinedBehaviorSanitizer with clang, fuzz targets included.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$top/tools/deps.sh"

# Every tracked source is kept in the project's clang-format style.
(cd "$top" && git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror)

jobs=$(nproc)
werror=OFF
[[ "${CI:-}" == true ]] && werror=ON

export QT_QPA_PLATFORM=offscreen
export QTWEBENGINE_DISABLE_SANDBOX=1
export QTWEBENGINE_CHROMIUM_FLAGS="${QTWEBENGINE_CHROMIUM_FLAGS:---disable-gpu --no-first-run --disable-background-networking --disable-component-update}"

cmake -S "$top" -B "$top/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTMBL_WERROR=$werror
cmake --build "$top/build" -j "$jobs"
ctest --test-dir "$top/build" --output-on-failure -j "$jobs" --timeout 600

# Installing the package changes the machine (a package and a user come and go): only
# on CI machines and when run as root.
if [[ "${CI:-}" == true || $(id -u) -eq 0 ]]; then
    "$top/tests/package/install_test.sh" "$top/build"
fi

cmake -S "$top" -B "$top/build-asan" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DTMBL_GUI=OFF -DTMBL_SANITIZE=ON -DTMBL_FUZZ=ON -DTMBL_BENCH=OFF -DTMBL_WERROR=$werror
cmake --build "$top/build-asan" -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir "$top/build-asan" --output-on-failure -j "$jobs" --timeout 600
