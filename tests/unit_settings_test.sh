#!/usr/bin/env bash
# Checks the service units' settings against tests/unit_settings.txt, and
# what they must make together: the PID file is the one tabrind -p writes, a
# daemon that dies at each start hits the start limit, every stop command may
# fail, and an exit with status 1 (a refused configuration) is not restarted.
# Usage: unit_settings_test.sh SOURCE_DIR
set -euo pipefail
src=$1
status=0
fail() { echo "FAILED: $*" >&2; status=1; }
values() { sed -n "s/^$2=//p" "$src/dist/$1"; } # values UNIT SETTING: one a line

while read -r unit setting wanted; do
    case $unit in '' | '#'*) continue ;; esac
    got=$(values "$unit" "$setting" | tr '\n' ' ' | sed 's/ $//')
    [ "$wanted" != absent ] || wanted=
    [ "$got" = "$wanted" ] || fail "$unit: $setting: wanted [${wanted:-absent}], got [${got:-absent}]"
done <"$src/tests/unit_settings.txt"

for unit in tabrind.service.in tabrind-user.service.in; do
    pid_file=$(values "$unit" PIDFile)
    [[ " $(values "$unit" ExecStart) " == *" start -p $pid_file "* ]] ||
        fail "$unit: ExecStart does not write PIDFile $pid_file: $(values "$unit" ExecStart)"
    interval=$(values "$unit" StartLimitIntervalSec) burst=$(values "$unit" StartLimitBurst)
    pause=$(values "$unit" RestartSec)
    [ $((${burst:-0} * ${pause:-0})) -lt "${interval:-0}" ] ||
        fail "$unit: $burst restarts $pause s apart do not reach the limit of $interval s"
    while read -r stop; do
        [ -z "$stop" ] || [[ $stop == -* ]] || fail "$unit: a stop command that may not fail: $stop"
    done < <(values "$unit" ExecStop; values "$unit" ExecStopPost)
    restart=$(values "$unit" Restart)
    case $restart in
    on-abnormal | on-abort | on-watchdog | no) ;;
    *) [[ " $(values "$unit" RestartPreventExitStatus) " == *" 1 "* ]] ||
        fail "$unit: Restart=$restart restarts a daemon that refused its configuration" ;;
    esac
done
[ $status -ne 0 ] || echo "both units' settings as tests/unit_settings.txt has them"
exit $status
