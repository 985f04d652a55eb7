#!/usr/bin/env bash
# Builds the Debian package build/yunsuo-mailbox_<version>_<arch>.deb: installs what is
# missing, builds the program and what it ships, and has CPack put it together.
# Extra arguments go to the CMake configure step, e.g. -DTMBL_HOMEPAGE=https://...
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$top/tools/deps.sh"
build="$top/build"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
# Only what goes into the package; the tests are tools/test.sh's business.
cmake --build "$build" -j "$(nproc)" --target tmbl_program shipped_database shipped_icons start_page package_documents
rm -f "$build"/yunsuo-mailbox_*.deb
(cd "$build" && cpack -G DEB --config CPackConfig.cmake)
ls "$build"/yunsuo-mailbox_*.deb
