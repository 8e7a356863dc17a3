#!/usr/bin/env bash
# Completes command lines with the bash completions of both programs and
# checks what they offer against the cases below.
# Usage: completion_test.sh DIST_DIR
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
touch "$dir/port" "$dir/pad.conf"
source "$1/tabrin.bash-completion"
source "$1/tabrind.bash-completion"

status=0
# complete EXPECTED WORD... : the last word is the one being completed.
complete_line() {
    local wanted=$1 function
    shift
    COMP_WORDS=("$@") COMP_CWORD=$(($# - 1)) COMPREPLY=()
    function=_$1
    "$function" 2>/dev/null
    if [[ "${COMPREPLY[*]}" != "$wanted" ]]; then
        echo "FAILED: $* <TAB>: wanted [$wanted], got [${COMPREPLY[*]}]" >&2
        status=1
    fi
}

complete_line '-2 -a -b -d -h -i -j -l -m -n -p -r -v -w -z' tabrin ''
complete_line '' tabrin -z 15
complete_line '-p' tabrin -debug -r 12 true -p
complete_line 'BTN_SELECT+BTN_START' tabrin -r BTN_SELECT+BTN_ST
complete_line 'ABS_Z+ABS_RZ' tabrin -v -r ABS_Z+ABS_R
complete_line 'ABS_Y ABS_Y-' tabrin -r ABS_Y
complete_line 'BTN_SELECT,BTN_START' tabrin -b BTN_SELECT,BTN_STA
complete_line 'BTN_MODE' tabrin -r 12 'xterm &' -h BTN_MO
complete_line '' tabrin -h BTN_MODE 15
complete_line '' tabrin -a BTN_SELECT+BTN_DPAD_UP 15
complete_line 'BTN_MODE' tabrin -2 BTN_MO
power_menu_of_this_test() { :; }
complete_line 'power_menu_of_this_test' tabrin -h BTN_MODE 1500 power_menu_of_this
complete_line '' tabrin -w 30
complete_line '' tabrin -i 1
complete_line '-m' tabrin -h BTN_MODE 1500 'power-menu &' -m
complete_line "$dir/port" tabrin -m -j "$dir/po"
complete_line "$dir/pad.conf" tabrin -l "$dir/pad"
complete_line 'start stop status' tabrind st
complete_line 'learn' tabrind -f "$dir/pad.conf" l
complete_line '-f' tabrind learn ''
complete_line '' tabrind learn -f "$dir/pad.conf" ''
complete_line "$dir/pad.conf" tabrind status -f "$dir/pad"
complete_line '-f -p' tabrind start ''
complete_line '-p' tabrind restart -f "$dir/pad.conf" -
complete_line '' tabrind -p "$dir/pid" start -f "$dir/pad.conf" ''
complete_line "$dir/pad.conf" tabrind start -p "$dir/pad"
exit $status
