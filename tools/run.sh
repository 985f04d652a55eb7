#!/usr/bin/env bash
# Builds the program, stages its folder (build/program) and starts it.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$top/tools/deps.sh"
cmake -S "$top" -B "$top/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$top/build" -j "$(nproc)"
program="$top/build/program"
if [[ ! -x "$program/云梭邮盒" ]]; then
    echo "The program folder holds:" >&2
    ls -R "$program" >&2
    exit 1
fi
if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" && -z "${QT_QPA_PLATFORM:-}" ]]; then
    echo "No display: set DISPLAY (or run under xvfb-run) to see the window." >&2
    exit 1
fi
# Chinese captions need a CJK font; deps.sh installs one, but say so if none is there.
if command -v fc-list >/dev/null && [[ -z "$(fc-list :lang=zh family 2>/dev/null)" ]]; then
    echo "No Chinese font found: install fonts-wqy-microhei (apt-get install fonts-wqy-microhei)." >&2
fi
# Running as root (as on a fresh machine) the browser engine refuses its sandbox.
[[ $(id -u) -eq 0 ]] && export QTWEBENGINE_DISABLE_SANDBOX=1
cd "$program"
exec "./云梭邮盒" "$@"
