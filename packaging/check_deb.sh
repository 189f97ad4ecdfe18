#!/bin/sh
# Builds the Debian package from a native build and checks what it holds; as
# root also installs it with dpkg, runs the installed tools, verifies the
# installed unit (systemd-analyze, from install-deps.sh) and purges it,
# leaving the user autoupdate and /srv/autoupdate only if they were there
# before. The service is never started.
#   check_deb.sh BUILD_DIR
set -u
build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd) || exit 2
unit=/lib/systemd/system/update-server.service
status=0
fail() { echo "FAIL $*"; status=1; }

(cd "$build" && cpack -G DEB) > "$build/cpack.log" 2>&1
deb=$(sed -n 's/^CPack: - package: \(.*\.deb\) generated\.$/\1/p' "$build/cpack.log")
[ -f "$deb" ] || { cat "$build/cpack.log"; echo "FAIL cpack made no package"; exit 1; }
# Only the server component: no client library, tests or benches.
dpkg-deb -c "$deb" | grep -v '/$' | grep -Ev " \./(usr/bin/(update-server|make-package)|lib/systemd/system/update-server\.service|usr/share/doc/autoupdate-server/.*\.md)$" \
    && fail "$deb holds the files above"
dpkg-deb -f "$deb" Depends | grep -q 'libmicrohttpd.*libssl' || fail "Depends lacks the libraries: $(dpkg-deb -f "$deb" Depends)"
[ "$(id -u)" -eq 0 ] || { echo "not root: $deb built, not installed"; exit $status; }

dpkg --purge autoupdate-server > "$build/dpkg.log" 2>&1   # left by a run cut short
getent passwd autoupdate > /dev/null; had_user=$?
[ -d /srv/autoupdate ]; had_root=$?
# shellcheck disable=SC2317 # also run by the trap
restore() {
    dpkg --purge autoupdate-server >> "$build/dpkg.log" 2>&1 || fail "dpkg --purge (see $build/dpkg.log)"
    # userdel also removes the group adduser made with the user.
    if [ $had_user -ne 0 ] && getent passwd autoupdate > /dev/null; then userdel autoupdate; fi
    if [ $had_root -ne 0 ] && [ -d /srv/autoupdate ]; then rmdir /srv/autoupdate; fi
}
trap 'restore; exit 1' INT TERM HUP

if dpkg -i "$deb" >> "$build/dpkg.log" 2>&1; then
    /usr/bin/update-server --help > /dev/null || fail "/usr/bin/update-server --help"
    /usr/bin/make-package --help > /dev/null || fail "/usr/bin/make-package --help"
    getent passwd autoupdate > /dev/null || fail "postinst made no user autoupdate"
    [ -d /srv/autoupdate ] || fail "postinst made no /srv/autoupdate"
    [ -f "$(sed -n 's|^Documentation=file://||p' $unit)" ] || fail "$unit: Documentation= names no installed file"
    systemd-analyze verify $unit || fail "systemd-analyze verify $unit"
else
    cat "$build/dpkg.log"; fail "dpkg -i $deb"
fi
restore
ls -d /usr/bin/update-server /usr/bin/make-package $unit /usr/share/doc/autoupdate-server 2>/dev/null && fail "left by dpkg --purge"
[ $status -eq 0 ] && echo "ok $deb: dpkg -i, the tools' --help, systemd-analyze verify, dpkg --purge"
exit $status
