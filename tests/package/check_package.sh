#!/usr/bin/env bash
# Builds the Debian package from a finished build and checks it: the exact file list
# and modes, the control fields, the menu entry, the icons, and that lintian,
# desktop-file-validate and appstreamcli report no errors.
# Usage: check_package.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
deb=$("$here/make_package.sh" "$1")
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# --- File list, types and modes ------------------------------------------------------
expected="drwxr-xr-x ./opt/
drwxr-xr-x ./opt/yunsuo-mailbox/
drwxr-xr-x ./opt/yunsuo-mailbox/ico/"
for i in 0 1 2 3 4 5 6 7 8 9 10; do expected+=$'\n'"-rw-r--r-- ./opt/yunsuo-mailbox/ico/$i.ico"; done
expected+="
-rw-r--r-- ./opt/yunsuo-mailbox/index.htm
-rw-r--r-- ./opt/yunsuo-mailbox/tmbl.EDT
-rw-r--r-- ./opt/yunsuo-mailbox/tmbl.edb
-rw-r--r-- ./opt/yunsuo-mailbox/yunsuo-mailbox.png
-rwxr-xr-x ./opt/yunsuo-mailbox/云梭邮盒
drwxr-xr-x ./usr/
drwxr-xr-x ./usr/bin/
lrwxrwxrwx ./usr/bin/yunsuo-mailbox -> /opt/yunsuo-mailbox/云梭邮盒
drwxr-xr-x ./usr/share/
drwxr-xr-x ./usr/share/applications/
-rw-r--r-- ./usr/share/applications/yunsuo-mailbox.desktop
drwxr-xr-x ./usr/share/doc/
drwxr-xr-x ./usr/share/doc/yunsuo-mailbox/
-rw-r--r-- ./usr/share/doc/yunsuo-mailbox/changelog.gz
-rw-r--r-- ./usr/share/doc/yunsuo-mailbox/copyright
drwxr-xr-x ./usr/share/icons/
drwxr-xr-x ./usr/share/icons/hicolor/"
for size in 128x128 256x256 48x48; do
    expected+="
drwxr-xr-x ./usr/share/icons/hicolor/$size/
drwxr-xr-x ./usr/share/icons/hicolor/$size/apps/
-rw-r--r-- ./usr/share/icons/hicolor/$size/apps/yunsuo-mailbox.png"
done
expected+="
drwxr-xr-x ./usr/share/icons/hicolor/scalable/
drwxr-xr-x ./usr/share/icons/hicolor/scalable/apps/
-rw-r--r-- ./usr/share/icons/hicolor/scalable/apps/yunsuo-mailbox.svg
drwxr-xr-x ./usr/share/lintian/
drwxr-xr-x ./usr/share/lintian/overrides/
-rw-r--r-- ./usr/share/lintian/overrides/yunsuo-mailbox
drwxr-xr-x ./usr/share/man/
drwxr-xr-x ./usr/share/man/man1/
-rw-r--r-- ./usr/share/man/man1/yunsuo-mailbox.1.gz
drwxr-xr-x ./usr/share/metainfo/
-rw-r--r-- ./usr/share/metainfo/yunsuo-mailbox.metainfo.xml"
# Every entry belongs to root; the list compares mode and path.
dpkg-deb -c "$deb" | awk '$2 != "root/root" { bad = 1 } END { exit bad }' || fail "an entry not owned by root/root"
listing=$(dpkg-deb -c "$deb" | awk '{ mode = $1; $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, ""); print mode " " $0 }' | LC_ALL=C sort -k2)
if [[ "$listing" != "$(LC_ALL=C sort -k2 <<<"$expected")" ]]; then
    fail "file list differs:"
    diff <(LC_ALL=C sort -k2 <<<"$expected") <(echo "$listing") >&2 || true
fi

dpkg-deb -x "$deb" "$work/root"
file -b "$work/root/opt/yunsuo-mailbox/云梭邮盒" | grep -q "ELF.*stripped" || fail "program is not a stripped ELF file"
file -b "$work/root/opt/yunsuo-mailbox/云梭邮盒" | grep -q "not stripped" && fail "program is not stripped"
for side in 48 128 256; do
    file -b "$work/root/usr/share/icons/hicolor/${side}x${side}/apps/yunsuo-mailbox.png" |
        grep -q "PNG image data, $side x $side" || fail "icon ${side}x${side} is not a $side-pixel PNG"
done
# What the build made, not the staged copies a run of the program may have changed.
cmp -s "$work/root/opt/yunsuo-mailbox/tmbl.edb" "$1/tools/tmbl-edb/shipped/tmbl.edb" || fail "tmbl.edb is not the one the build made"
cmp -s "$work/root/opt/yunsuo-mailbox/ico/3.ico" "$1/shipped-ico/3.ico" || fail "ico/3.ico is not the one the build drew"

# --- Control fields ------------------------------------------------------------------
field() { dpkg-deb -f "$deb" "$1"; }
[[ "$(field Package)" == yunsuo-mailbox ]] || fail "Package: $(field Package)"
[[ "$(field Version)" == 2.0 ]] || fail "Version: $(field Version)"
[[ "$(field Architecture)" == "$(dpkg --print-architecture)" ]] || fail "Architecture: $(field Architecture)"
[[ "$(basename "$deb")" == "yunsuo-mailbox_2.0_$(dpkg --print-architecture).deb" ]] || fail "file name $(basename "$deb")"
depends=$(field Depends)
for needed in "fonts-wqy-microhei | fonts-noto-cjk" "libqt6webenginecore6 (" "libqt6webenginewidgets6 (" \
    "libqt6widgets6 (" "libc6 ("; do
    [[ "$depends" == *"$needed"* ]] || fail "Depends lacks '$needed': $depends"
done
[[ "$(field Maintainer)" =~ ^.+\ \<[^@\ ]+@[^@\ ]+\.[^@\ ]+\>$ ]] || fail "Maintainer: $(field Maintainer)"
[[ -n "$(field Description)" ]] || fail "no Description"

# --- Menu entry ----------------------------------------------------------------------
entry="$work/root/usr/share/applications/yunsuo-mailbox.desktop"
for line in "Name=云梭邮盒" "Comment=方便快捷的邮箱登录软件" "Categories=Network;Email;" "Icon=yunsuo-mailbox" \
    "Exec=yunsuo-mailbox" "Type=Application"; do
    grep -qxF "$line" "$entry" || fail "menu entry lacks $line"
done

# --- Validators ----------------------------------------------------------------------
lintian_out=$(lintian "$deb" 2>&1) || fail "lintian exited with $?"
grep '^E: ' <<<"$lintian_out" && fail "lintian reports errors"
dfv_out=$(desktop-file-validate "$entry" 2>&1) || fail "desktop-file-validate exited with $?"
grep -i 'error' <<<"$dfv_out" && fail "desktop-file-validate reports errors"
# Without the project's web site the component id cannot be reverse-DNS, which the
# validator counts as a warning; errors are what must not be there.
as_out=$(appstreamcli validate --no-net "$work"/root/usr/share/metainfo/yunsuo-mailbox.metainfo.xml 2>&1) || true
grep -E '^E: ' <<<"$as_out" && fail "appstreamcli reports errors"
grep -qE 'Validation (was successful|failed: (warnings|infos|pedantic))' <<<"$as_out" ||
    fail "appstreamcli gave no verdict: $as_out"

echo "lintian: ${lintian_out:-no findings}"
echo "desktop-file-validate: ${dfv_out:-no findings}"
echo "appstreamcli: $as_out"
if ((failures)); then
    echo "$failures check(s) failed for $deb" >&2
    exit 1
fi
echo "package checks passed: $deb"
