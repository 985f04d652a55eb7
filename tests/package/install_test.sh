#!/usr/bin/env bash
# Installs the Debian package on this machine with apt and starts it as a new user with
# an empty home: the first start makes ~/.local/share/yunsuo-mailbox with an owner-only
# copy of the database and shows the main window, the second start reuses the folder,
# and removing the package leaves the user's data. Changes the machine (needs root or
# sudo); the package and the user are removed again whatever happens.
# Usage: install_test.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
as_root=()
[[ $(id -u) -eq 0 ]] || as_root=(sudo)

if dpkg-query -W -f='${db:Status-Status}' yunsuo-mailbox 2>/dev/null | grep -qx installed; then
    echo "yunsuo-mailbox is installed on this machine already; not touching it" >&2
    exit 1
fi
deb=$("$here/make_package.sh" "$1")
user="tmbl-test-$$"
home="/tmp/$user-home"
runtime="/tmp/$user-runtime"
errors=$(mktemp -d)
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
cleanup() {
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq yunsuo-mailbox >/dev/null 2>&1 || true
    "${as_root[@]}" userdel "$user" >/dev/null 2>&1 || true
    "${as_root[@]}" rm -rf "$home" "$runtime"
    rm -rf "$errors"
}
trap cleanup EXIT

"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >/dev/null
"${as_root[@]}" useradd --no-create-home --home-dir "$home" --shell /bin/sh "$user"
"${as_root[@]}" install -d -m 0700 -o "$user" -g "$(id -gn "$user")" "$home"
"${as_root[@]}" install -d -m 0700 -o "$user" -g "$(id -gn "$user")" "$runtime"
[[ -z "$(ls -A "$home")" ]] || fail "the new home is not empty"

# One start as the new user, offscreen, with nothing of this session's environment.
start() {
    "${as_root[@]}" timeout 120 runuser -u "$user" -- env -i HOME="$home" USER="$user" PATH=/usr/bin:/bin XDG_RUNTIME_DIR="$runtime" \
        LANG=C.UTF-8 QT_QPA_PLATFORM=offscreen QTWEBENGINE_DISABLE_SANDBOX=1 \
        QTWEBENGINE_CHROMIUM_FLAGS="--disable-gpu --no-first-run --disable-background-networking --disable-component-update" \
        TMBL_EXIT_WHEN_SHOWN=1 /usr/bin/yunsuo-mailbox 2>"$1"
}
data="$home/.local/share/yunsuo-mailbox"
mode() { "${as_root[@]}" stat -c %a "$1"; }

out=$(start "$errors/1") || fail "first start exited with $? ($(tail -5 "$errors/1"))"
[[ "$out" == "shown: $data" ]] || fail "first start said '$out'"
"${as_root[@]}" test -f "$data/tmbl.edb" || fail "no database in $data"
[[ "$(mode "$data")" == 700 ]] || fail "data folder mode $(mode "$data")"
for file in tmbl.edb tmbl.EDT ico/0.ico ico/10.ico; do
    [[ "$(mode "$data/$file")" == 600 ]] || fail "$file mode $(mode "$data/$file")"
done
[[ "$(mode "$data/ico")" == 700 ]] || fail "ico mode $(mode "$data/ico")"
[[ "$("${as_root[@]}" stat -c %U "$data/tmbl.edb")" == "$user" ]] || fail "database not owned by the user"
"${as_root[@]}" cmp -s "$data/tmbl.edb" /opt/yunsuo-mailbox/tmbl.edb || fail "database is not the shipped copy"
# Nothing of the user's lands in the program folder.
[[ -z "$(find /opt/yunsuo-mailbox -newer "$deb" ! -type d)" ]] || fail "files written under /opt/yunsuo-mailbox"

# The second start uses the same folder and database, copying nothing again.
"${as_root[@]}" runuser -u "$user" -- sh -c "echo kept > '$data/ico/mark'"
inode=$("${as_root[@]}" stat -c %i "$data/tmbl.edb")
out=$(start "$errors/2") || fail "second start exited with $? ($(tail -5 "$errors/2"))"
[[ "$out" == "shown: $data" ]] || fail "second start said '$out'"
[[ "$("${as_root[@]}" stat -c %i "$data/tmbl.edb")" == "$inode" ]] || fail "database was replaced"
"${as_root[@]}" test -f "$data/ico/mark" || fail "data folder was made again"
[[ "$("${as_root[@]}" find "$home" -maxdepth 3 -name '.yunsuo-mailbox-*' | wc -l)" == 0 ]] || fail "staging folder left"

# Removing the package leaves the user's data.
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq yunsuo-mailbox >/dev/null
[[ ! -e /usr/bin/yunsuo-mailbox ]] || fail "/usr/bin/yunsuo-mailbox still there after removal"
"${as_root[@]}" test -s "$data/tmbl.edb" || fail "user's database gone after removal"

if ((failures)); then
    echo "$failures install check(s) failed" >&2
    exit 1
fi
echo "install checks passed: $deb"
