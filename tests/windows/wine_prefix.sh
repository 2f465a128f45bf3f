#!/bin/sh
# The Wine prefix the Windows cases run korvin.exe in, beside the exe.
#   wine_prefix.sh setup|cleanup EXE WINE WINESERVER
# setup creates the prefix once, then starts its wineserver and one idle
# Windows process. While that process lives, Wine's own service processes
# stay up; otherwise every korvin.exe would start them anew, and they would
# hold its output pipes open long after it has ended. Their output goes to
# /dev/null: the wineserver dumps its objects to stderr whenever a terminal
# it has open is hung up, as the simulator's is at the end of a run.
set -u
action=$1 exe=$2 wine=$3 wineserver=$4
prefix=$(dirname "$exe")/wine
export WINEPREFIX="$prefix" WINEDEBUG=-all WINESERVER="$wineserver"

case $action in
setup)
    if [ ! -f "$exe" ]; then
        echo "SKIPPED: $exe is not built (make windows)"
        exit 0
    fi
    if [ ! -x "$wine" ] || [ ! -x "$wineserver" ]; then
        echo "SKIPPED: no Wine ($wine; Debian package wine64)"
        exit 0
    fi
    "$wineserver" -k 2>/dev/null # left over from an interrupted run
    rm -f "$prefix/korvin-ready"
    if [ ! -f "$prefix/system.reg" ]; then
        echo "creating the Wine prefix $prefix"
        "$wine" wineboot -i </dev/null >"$prefix.log" 2>&1 || {
            cat "$prefix.log"
            exit 1
        }
        "$wineserver" -w
    fi
    "$wineserver" -p </dev/null >/dev/null 2>&1 || exit 1
    rm -f "$prefix/keeper"
    mkfifo "$prefix/keeper" || exit 1
    # Read-write, so that cmd.exe waits on its input for ever.
    "$wine" cmd.exe <>"$prefix/keeper" >/dev/null 2>&1 &
    echo "wineserver for $prefix started"
    touch "$prefix/korvin-ready"
    ;;
cleanup)
    rm -f "$prefix/korvin-ready"
    if [ -x "$wineserver" ] && [ -d "$prefix" ]; then
        "$wineserver" -k 2>/dev/null
        rm -f "$prefix/keeper" "$prefix"/dosdevices/com[0-9]*
    fi
    exit 0
    ;;
*)
    echo "usage: $0 setup|cleanup EXE WINE WINESERVER" >&2
    exit 2
    ;;
esac
