#!/usr/bin/env bash
# Builds the Debian package, installs it on this machine, uses the installed
# programs, and removes it again. Needs root and a machine without tabrin.
# Usage: package_test.sh BUILD_DIR
set -euo pipefail
build=$1
skip() { echo "SKIPPED: $*"; exit 77; }
[ "$(id -u)" = 0 ] || skip "needs root to install a package"
command -v dpkg >/dev/null || skip "no dpkg on this machine"
dpkg -s tabrin >/dev/null 2>&1 && skip "a tabrin package is installed already"
[ -e /etc/tabrind.conf ] && skip "/etc/tabrind.conf exists already and must not be touched"

work=$(mktemp -d)
link=/etc/systemd/system/multi-user.target.wants/tabrind.service
# The enable link that this test makes goes even when purge failed to remove it.
trap 'dpkg --purge tabrin >/dev/null 2>&1 || true; [ ! -L "$link" ] || rm -f "$link"; rm -rf "$work"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }
expect() { # expect WHAT WANTED GOT
    [ "$2" = "$3" ] || fail "$1: wanted [$2], got [$3]"
}

cpack -G DEB -B "$work" --config "$build/CPackConfig.cmake" >/dev/null
deb=$(ls "$work"/tabrin_*.deb)

if command -v lintian >/dev/null; then
    # Errors fail; an explained override covers the set-user-ID warning.
    report=$(lintian --fail-on error "$deb" 2>&1 | grep -v '^running with root privileges' || true)
    [ -z "$report" ] || fail "lintian: $report"
fi

dpkg -i "$deb" >/dev/null
expect "tabrin mode" "4755 root root" "$(stat -c '%a %U %G' /usr/bin/tabrin)"
expect "licence" "License: MIT" "$(grep -m1 '^License:' /usr/share/doc/tabrin/copyright)"
cmp -s /usr/share/doc/tabrin/LICENSE "$(dirname "$0")/../LICENSE" || fail "LICENSE not installed"
expect "conffile" "/etc/tabrind.conf" "$(dpkg-query -W -f='${Conffiles}' tabrin | awk '{print $1}')"

usage=$'\nUsage: tabrin [-t secs] [-r [1234] "cmd"]\nRuns command when two joystick buttons are pressed,\nSee man page tabrin(1) for details'
status=0; got=$(/usr/bin/tabrin 2>&1) || status=$?
expect "tabrin with no arguments" "1 $usage" "$status $got"

# The example configuration binds nothing until the administrator says so.
status=0; got=$(/usr/sbin/tabrind status 2>&1) || status=$?
expect "tabrind status" "1 No 'run' line in tabrind configuration file; nothing to do, exiting." "$status $got"
printf 'run 1 true\nlock %s/lock\n' "$work" > "$work/conf"
status=0; got=$(/usr/sbin/tabrind status -f "$work/conf" 2>&1) || status=$?
expect "tabrind status -f" "0 tabrin not running" "$status $got"

# The per-user example, its run lines taken in, is a configuration that reads.
sed 's/^#run /run /' /usr/share/doc/tabrin/examples/user-tabrind.conf > "$work/user.conf"
status=0; got=$(/usr/sbin/tabrind status -f "$work/user.conf" 2>&1) || status=$?
expect "tabrind status with the per-user example" "0 tabrin not running" "$status $got"

if systemd-analyze --version >/dev/null 2>&1; then
    systemd-analyze verify /usr/lib/systemd/system/tabrind.service || fail "systemd-analyze verify (system unit)"
    # A user's service manager needs a runtime directory of its own.
    mkdir -m 0700 "$work/runtime"
    XDG_RUNTIME_DIR="$work/runtime" systemd-analyze --user verify /usr/lib/systemd/user/tabrind.service ||
        fail "systemd-analyze verify (user unit)"
else
    echo "systemd-analyze not available: units not verified"
fi
man -w tabrin tabrind tabrind.conf >/dev/null || fail "manual pages not found"

# The maintainer scripts that stop, reload and clean up after the service.
dpkg-deb -e "$deb" "$work/control"
for script in postinst prerm postrm; do
    [ -x "$work/control/$script" ] || fail "no maintainer script $script in the package"
    cmp -s "$work/control/$script" "/var/lib/dpkg/info/tabrin.$script" || fail "$script not installed"
done

# What they do where systemd runs, which it does not here: each run in a
# mount namespace of its own whose /run says that systemd runs, with
# stand-ins for systemctl and Debian's helpers that log how they are called.
# (The service manager's real answers are not tried here.)
mkdir "$work/bin"
for tool in systemctl deb-systemd-invoke deb-systemd-helper; do
    printf '#!/bin/sh\necho "%s $*" >>"%s/calls"\n' "$tool" "$work" >"$work/bin/$tool"
    [ "$tool" != systemctl ] || echo '[ "$*" != "--quiet is-active tabrind.service" ] || [ -e "${0%/*}/active" ]' >>"$work/bin/$tool"
    chmod 755 "$work/bin/$tool"
done
scripts() { # scripts SCRIPT ARGUMENTS [; SCRIPT ARGUMENTS]...: the calls they made
    : >"$work/calls"
    unshare -m sh -c 'mount -t tmpfs none /run && mkdir -p /run/systemd/system && "$@"' sh sh -c "
        set -e
        export PATH=$work/bin:\$PATH DPKG_MAINTSCRIPT_PACKAGE=tabrin
        $*
        [ ! -e /run/tabrind.service.upgrading ] || echo 'left: /run/tabrind.service.upgrading' >>$work/calls" ||
        fail "maintainer scripts failed: $*"
    cat "$work/calls"
}
if unshare -m sh -c 'mount -t tmpfs none /run' 2>/dev/null; then
    c=$work/control
    upgrade="$c/prerm upgrade 1.0.0; $c/postinst configure 1.0.0"
    upgraded="systemctl --quiet is-active tabrind.service
deb-systemd-invoke stop tabrind.service
deb-systemd-helper unmask tabrind.service
deb-systemd-helper update-state tabrind.service
deb-systemd-helper --user update-state tabrind.service
systemctl --system daemon-reload"
    touch "$work/bin/active"
    expect "an upgrade of the running service" "$upgraded
systemctl --system start tabrind.service" "$(scripts "$upgrade")"
    rm "$work/bin/active"
    expect "an upgrade of the stopped service" "$upgraded" "$(scripts "$upgrade")"
    expect "removal and purge" "deb-systemd-invoke stop tabrind.service
systemctl --system daemon-reload
deb-systemd-helper mask tabrind.service
deb-systemd-helper purge tabrind.service
deb-systemd-helper unmask tabrind.service
deb-systemd-helper --user purge tabrind.service" "$(scripts "$c/prerm remove; $c/postrm remove; $c/postrm purge")"
else
    echo "no mount namespace here: the maintainer scripts' calls where systemd runs not tried"
fi

# Enabled as an administrator does, then purged: the link goes with the package.
if systemctl enable tabrind.service >/dev/null 2>&1 && [ -L "$link" ]; then
    dpkg --purge tabrin >/dev/null
    [ ! -L "$link" ] || fail "purge left $link"
else
    echo "systemctl enable made no link here: its removal on purge not tried"
    dpkg --purge tabrin >/dev/null
fi
[ ! -e /usr/bin/tabrin ] && [ ! -e /etc/tabrind.conf ] || fail "files left after purge"
[ ! -e /etc/systemd/system/tabrind.service ] || fail "purge left a mask at /etc/systemd/system/tabrind.service"
echo "package built, installed, used and removed; maintainer scripts checked"
