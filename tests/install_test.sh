#!/usr/bin/env bash
# Installs the build under a prefix of its own and under DESTDIR, as a user
# and a package would, and checks where each file goes, that an edited
# configuration is kept, and that the installed units pass systemd's checks.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 src=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
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
lib/systemd/user/tabrind.service sbin/tabrind share/bash-completion/completions/tabrin \
share/bash-completion/completions/tabrind share/doc/tabrin/LICENSE share/doc/tabrin/changelog.gz \
share/doc/tabrin/copyright share/doc/tabrin/examples/user-tabrind.conf share/lintian/overrides/tabrin \
share/man/man1/tabrin.1.gz share/man/man5/tabrind.conf.5.gz share/man/man8/tabrind.8.gz " "$(files_under "$prefix")"
outside=$(grep -v "^$prefix/" "$build/install_manifest.txt" || true)
expect "files installed outside the prefix" "" "$outside"
expect "tabrin's mode" "4755" "$(stat -c %a "$prefix/bin/tabrin")"
cmp -s "$src/dist/tabrind.conf" "$prefix/etc/tabrind.conf" || fail "etc/tabrind.conf is not the example"
for page in man1/tabrin.1 man5/tabrind.conf.5 man8/tabrind.8; do
    gzip -dc "$prefix/share/man/$page.gz" | cmp -s "$src/man/${page#*/}" - || fail "$page.gz is not the page"
done
expect "system unit's ExecStart" "ExecStart=$prefix/sbin/tabrind start" \
    "$(grep '^ExecStart=' "$prefix/lib/systemd/system/tabrind.service")"

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
    XDG_RUNTIME_DIR=$work/runtime verify "$prefix/lib/systemd/user/tabrind.service" --user
else
    echo "systemd-analyze not available: units not verified"
fi
echo "installed under a prefix and under DESTDIR; configuration kept; units verified"
