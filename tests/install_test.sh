#!/usr/bin/env bash
# Installs the build under a prefix of its own and under DESTDIR, as a user
# and a package would, and checks where each file goes, that an edited
# configuration is kept, and that the installed units pass systemd's checks.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 src=$2
work=$(mktemp -d)
daemon=0
# The daemon that the unit's command line starts is ended by its process id.
trap '[ "$daemon" -gt 0 ] && kill "$daemon" 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }
expect() { # expect WHAT WANTED GOT
    [ "$2" = "$3" ] || fail "$1: wanted [$2], got [$3]"
}
install_to() { # install_to ARGUMENTS...: cmake --install, its output in $work/log
    cmake --install "$build" "$@" >"$work/log" 2>&1 || { cat "$work/log"; fail "cmake --install $*"; }
}
files_under() { (cd "$1" && find . -type f | sed 's|^\./||' | sort | tr '\n' ' '); }

# A prefix of one's own: everything below it, the configuration in PREFIX/etc.
prefix=$work/prefix
install_to --prefix "$prefix"
expect "files installed under --prefix" "bin/tabrin etc/tabrind.conf lib/systemd/system/tabrind.service \
sbin/tabrind share/bash-completion/completions/tabrin \
share/bash-completion/completions/tabrind share/doc/tabrin/LICENSE share/doc/tabrin/changelog.gz \
share/doc/tabrin/copyright share/doc/tabrin/examples/user-tabrind.conf share/lintian/overrides/tabrin \
share/man/man1/tabrin.1.gz share/man/man5/tabrind.conf.5.gz share/man/man8/tabrind.8.gz \
share/systemd/user/tabrind.service " "$(files_under "$prefix")"
outside=$(grep -v "^$prefix/" "$build/install_manifest.txt" || true)
expect "files installed outside the prefix" "" "$outside"
expect "tabrin's mode" "4755" "$(stat -c %a "$prefix/bin/tabrin")"
cmp -s "$src/dist/tabrind.conf" "$prefix/etc/tabrind.conf" || fail "etc/tabrind.conf is not the example"
for page in man1/tabrin.1 man5/tabrind.conf.5 man8/tabrind.8; do
    gzip -dc "$prefix/share/man/$page.gz" | cmp -s "$src/man/${page#*/}" - || fail "$page.gz is not the page"
done
expect "system unit's ExecStart" "ExecStart=$prefix/sbin/tabrind start -p /run/tabrind.pid" \
    "$(grep '^ExecStart=' "$prefix/lib/systemd/system/tabrind.service")"
expect "system unit's search path" "Environment=PATH=$prefix/bin:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin" \
    "$(grep '^Environment=' "$prefix/lib/systemd/system/tabrind.service")"

# The per-user unit's command line, as a user's service manager runs it:
# with its default search path, which has no $prefix/bin, and the unit's
# Environment= lines; %h and %t are the home and runtime directories. It
# starts the prefix's daemon and writes its process id where PIDFile= says.
unit=$prefix/share/systemd/user/tabrind.service
home=$work/home runtime=$work/user-runtime
mkdir -p "$home/.config" && mkdir -m 0700 "$runtime"
printf '\377' >"$work/port"
printf 'run 1 true\ndevice %s/port\nlock %s/lock\npoll 10\n' "$work" "$work" >"$home/.config/tabrind.conf"
specifiers() { sed -e "s|%h|$home|g" -e "s|%t|$runtime|g"; }
read -ra start <<<"$(sed -n 's/^ExecStart=//p' "$unit" | specifiers)"
mapfile -t settings < <(sed -n 's/^Environment=//p' "$unit" | specifiers)
status=0
env -i HOME="$home" PATH=/usr/local/bin:/usr/bin:/bin "${settings[@]}" "${start[@]}" >"$work/log" 2>&1 || status=$?
daemon=$("$prefix/sbin/tabrind" status -f "$home/.config/tabrind.conf" | sed -n 's/^tabrin running, pid=//p')
expect "the per-user unit's command line under the default search path" "0 " "$status $(cat "$work/log")"
[ -n "$daemon" ] || daemon=0
expect "the daemon it started" "$prefix/bin/tabrin" "$(readlink "/proc/$daemon/exe" 2>/dev/null)"
pid_file=$(sed -n 's/^PIDFile=//p' "$unit" | specifiers)
expect "the PID file" "$daemon" "$(cat "$pid_file")"
kill "$daemon" && daemon=0

# Installed again, over a configuration the administrator has edited.
echo 'run 12 xterm &' >"$prefix/etc/tabrind.conf"
install_to --prefix "$prefix"
expect "edited configuration after a second install" "run 12 xterm &" "$(cat "$prefix/etc/tabrind.conf")"
grep -qxF -- "-- Kept: $prefix/etc/tabrind.conf" "$work/log" || fail "no 'Kept:' line: $(cat "$work/log")"

# Staged as a package is: the /usr prefix keeps its configuration in /etc.
DESTDIR=$work/usr-stage install_to --prefix /usr
[ -f "$work/usr-stage/etc/tabrind.conf" ] || fail "prefix /usr: no DESTDIR/etc/tabrind.conf"
[ ! -e "$work/usr-stage/usr/etc" ] || fail "prefix /usr: DESTDIR/usr/etc made"
[ -x "$work/usr-stage/usr/bin/tabrin" ] || fail "prefix /usr: no DESTDIR/usr/bin/tabrin"
# On every service manager's search path: the units leave it as it is.
for unit in system/tabrind.service user/tabrind.service; do
    [ -f "$work/usr-stage/usr/lib/systemd/$unit" ] || fail "prefix /usr: no DESTDIR/usr/lib/systemd/$unit"
    expect "prefix /usr: $unit's search path" "" "$(grep '^Environment=' "$work/usr-stage/usr/lib/systemd/$unit" || true)"
done
DESTDIR=$work/local-stage install_to --prefix /usr/local
expect "prefix /usr/local under DESTDIR: configurations" "usr/local/etc/tabrind.conf" \
    "$(cd "$work/local-stage" && find . -name '*.conf' -path '*etc*' | sed 's|^\./||')"

# verify passes units with settings it ignores, so any word from it fails.
verify() { # verify UNIT [systemd-analyze options]
    local unit=$1 report
    shift
    report=$(systemd-analyze "$@" verify --man=no "$unit" 2>&1) || fail "systemd-analyze verify $unit: $report"
    expect "systemd-analyze verify $unit" "" "$report"
}
if systemd-analyze --version >/dev/null 2>&1; then
    verify "$prefix/lib/systemd/system/tabrind.service"
    mkdir -m 0700 "$work/runtime" # a user's service manager needs a runtime directory
    XDG_RUNTIME_DIR=$work/runtime verify "$prefix/share/systemd/user/tabrind.service" --user
else
    echo "systemd-analyze not available: units not verified"
fi
echo "installed under a prefix and under DESTDIR; configuration kept; the per-user unit's daemon started; units verified"
