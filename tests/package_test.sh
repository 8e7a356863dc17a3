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
trap 'dpkg --purge tabrin >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
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

dpkg --purge tabrin >/dev/null
[ ! -e /usr/bin/tabrin ] && [ ! -e /etc/tabrind.conf ] || fail "files left after purge"
echo "package built, installed, used and removed"
