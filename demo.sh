#!/bin/sh
# The daemon without a game port: it watches a port image file, a script
# presses buttons 1 and 2 in it, and the bound command shows that it ran.
set -eu
tabrin=${1:-tabrin}
dir=$(mktemp -d)
trap 'kill -INT "$daemon" 2>/dev/null; rm -rf "$dir"' EXIT

printf '\377' > "$dir/port"          # all four buttons up
"$tabrin" -j "$dir/port" -p 50 -w 100 -l "$dir/lock" \
    -r 12 "echo \"tabrin ran the command bound to buttons 1 and 2 at \$(date +%T)\" > '$dir/ran'" &
daemon=$!

# Waits up to 5 s for a file to appear (-e) or to hold something (-s).
await() {
    tries=0
    until [ "$1" "$2" ]; do
        tries=$((tries + 1))
        [ "$tries" -le 100 ] || { echo "$3" >&2; exit 1; }
        sleep 0.05
    done
}

# The lock file appears once start-up is over: buttons held before then would be refused.
await -e "$dir/lock" "tabrin did not start"
echo "tabrin watches $dir/port (pid $daemon); pressing buttons 1 and 2..."
printf '\317' > "$dir/port"          # bits 4 and 5 low: buttons 1 and 2 held
await -s "$dir/ran" "no command ran"
cat "$dir/ran"
printf '\377' > "$dir/port"          # released
