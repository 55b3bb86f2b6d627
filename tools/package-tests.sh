#!/usr/bin/env bash
# The Debian package, made and used as a user would: cpack in a build folder
# that is already built, lintian (an error fails), apt-get install, the
# installed programs, man pages and desktop entry checked, then apt-get
# remove and none of the package's files left. The package never stays
# installed, whatever fails.
#   tools/package-tests.sh BUILD_DIR
set -euo pipefail
if [ $# -ne 1 ] || [ ! -f "$1/CPackConfig.cmake" ]; then
    echo "usage: $0 BUILD_DIR (configured and built)" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
sudo=""
[ "$(id -u)" -ne 0 ] && sudo=sudo
apt_get() { DEBIAN_FRONTEND=noninteractive $sudo apt-get -qq -y -o DPkg::Lock::Timeout=300 "$@"; }
installed() { dpkg-query -W -f='${Status}' vantrel 2>/dev/null | grep -q 'install ok installed'; }

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

version=$(sed -n 's/^project(Vantrel VERSION \([0-9.]*\) .*/\1/p' "$root/CMakeLists.txt")
deb=$build/vantrel_${version}_$(dpkg --print-architecture).deb
rm -f "$build"/vantrel_*.deb
if ! (cd "$build" && cpack -G DEB >cpack.log 2>&1); then
    cat "$build/cpack.log"
    echo "FAIL: cpack -G DEB in $build"
    exit 1
fi
if [ ! -f "$deb" ]; then
    echo "FAIL: no $(basename "$deb"); cpack made: $(cd "$build" && ls ./*.deb 2>/dev/null)"
    exit 1
fi
echo "lintian $(basename "$deb"):"
lint_status=0
lint=$(lintian --fail-on error "$deb" 2>&1) || lint_status=$?
grep -v '^running with root privileges' <<<"$lint" || true
[ "$lint_status" -eq 0 ] || fail "lintian reports errors (status $lint_status)"

# A package left by an earlier run that was killed goes first.
if installed; then
    echo "removing the vantrel package installed before this run"
    apt_get remove vantrel >/dev/null
fi
trap 'if installed; then apt_get remove vantrel >/dev/null; fi' EXIT
apt_get install "$deb" >/dev/null
mapfile -t files < <(dpkg -L vantrel | while read -r path; do [ -d "$path" ] || echo "$path"; done)

for program in vantrel vantrel-cli vantrel-sim; do
    [ "$(command -v "$program")" = "/usr/bin/$program" ] || fail "$program is not /usr/bin/$program"
    # The dialog answers without a display.
    answer=$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb "/usr/bin/$program" --version 2>&1) ||
        fail "/usr/bin/$program --version exited $?"
    [ "$answer" = "$program $version" ] || fail "/usr/bin/$program --version printed '$answer', not '$program $version'"
    page=$(man -w "$program" 2>&1) || true
    [ "$page" = "/usr/share/man/man1/$program.1.gz" ] || fail "man -w $program: $page"
done
for file in /usr/share/applications/vantrel.desktop /usr/share/icons/hicolor/32x32/apps/vantrel.png \
    /usr/share/icons/hicolor/16x16/apps/vantrel.png /usr/share/doc/vantrel/copyright; do
    [ -f "$file" ] || fail "$file was not installed"
done
newest=$(zcat /usr/share/doc/vantrel/changelog.gz | head -n 1)
[[ $newest == "vantrel ($version) "* ]] || fail "the changelog's newest entry is not for $version: $newest"

apt_get remove vantrel >/dev/null
installed && fail "the package is still installed after apt-get remove"
for file in "${files[@]}"; do
    [ -e "$file" ] && fail "$file is left after apt-get remove"
done

[ "$failures" -eq 0 ] &&
    echo "package round trip: $(basename "$deb") built, lintian without errors, installed, ${#files[@]} files checked, removed"
exit $((failures > 0))
