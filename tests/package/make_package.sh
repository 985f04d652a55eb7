#!/usr/bin/env bash
# Puts the Debian package together from a finished build and prints its path.
# Usage: make_package.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
rm -f "$build"/yunsuo-mailbox_*.deb
(cd "$build" && cpack -G DEB --config CPackConfig.cmake >"$build/cpack.log" 2>&1) || {
    cat "$build/cpack.log" >&2
    exit 1
}
ls "$build"/yunsuo-mailbox_*_"$(dpkg --print-architecture)".deb
