#!/bin/sh
# The whole system without a joystick: tabrind starts the daemon on a port
# image file, a script presses buttons 1 and 2 in it, the bound command shows
# that it ran, and tabrind stops the daemon.
#   demo.sh PATH/TO/tabrin PATH/TO/tabrind
set -eu
PATH=$(dirname "$1"):$PATH    # tabrind starts tabrin through the search path
tabrind=$2
dir=$(mktemp -d)
trap '"$tabrind" stop -f "$dir/tabrind.conf" >/dev/null 2>&1 || true; rm -rf "$dir"' EXIT

printf '\377' > "$dir/port"   # all four buttons up
cat > "$dir/tabrind.conf" <<CONF
# buttons 1 and 2 together
run 12 date '+tabrin ran the command bound to buttons 1 and 2 at %T' > $dir/ran
poll 50
wait 100
device $dir/port
lock $dir/lock
CONF
echo "== $dir/tabrind.conf"
cat "$dir/tabrind.conf"

echo "== tabrind start, then status"
"$tabrind" start -f "$dir/tabrind.conf"
"$tabrind" status -f "$dir/tabrind.conf"

echo "== pressing buttons 1 and 2 (port byte 0317)"
# Held until the command has run, as README's script holds them half a
# second: let go within a poll and the settle time, they were no press.
printf '\317' > "$dir/port"
tries=0
until [ -s "$dir/ran" ]; do
    tries=$((tries + 1))
    [ "$tries" -le 100 ] || { echo "no command ran" >&2; exit 1; }
    sleep 0.05
done
cat "$dir/ran"
printf '\377' > "$dir/port"   # released

echo "== tabrind stop, then status"
"$tabrind" stop -f "$dir/tabrind.conf"
"$tabrind" status -f "$dir/tabrind.conf"
