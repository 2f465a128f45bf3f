#!/bin/busybox sh
# /init of the driver cases' guest: loads the USB serial modules, then runs
# the commands the host sends on the console, one a line:
#   run ID DEVICE ARG...   korvin ARG... in the background, once DEVICE is there
#   expect ID N TEXT       wait until N lines of run ID's standard output hold TEXT
#   count ID TEXT          how many lines of run ID's standard output hold TEXT
#   gone ID DEVICE         wait until DEVICE has gone
#   stop ID                SIGTERM to run ID's korvin
#   dmesg ID               the kernel's log
#   poweroff
# Every answer is one line starting with @@: a run ends with its standard
# output and error in base64 (@@OUT ID ..., @@ERR ID ...) and @@END ID STATUS.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t devtmpfs dev /dev
exec </dev/console >/dev/console 2>&1
mount -t proc proc /proc
mount -t sysfs sys /sys
# Kernel messages would land in the middle of the answers: keep them in dmesg.
dmesg -n 1
for m in $(cat /modules/order); do
    insmod "/modules/$m.ko" || echo "@@FAILED insmod $m"
done
# The host's commands must not come back as console output.
stty -echo

report() {
    base64 "/tmp/$1.out" | sed "s/^/@@OUT $1 /"
    base64 "/tmp/$1.err" | sed "s/^/@@ERR $1 /"
    echo "@@END $1 $2"
}

# Waits up to $1 tenths of a second for the command $2... to succeed.
wait_until() {
    local tenths=$1
    shift
    while ! "$@"; do
        [ "$tenths" -gt 0 ] || return 1
        tenths=$((tenths - 1))
        usleep 100000
    done
}

absent() { [ ! -e "$1" ]; }
# The number of lines of run $1's output that hold $2.
lines_with() { grep -cF -- "$2" "/tmp/$1.out"; }
# $3 lines of run $1's output hold $2.
seen() { [ "$(lines_with "$1" "$2")" -ge "$3" ]; }
# Those lines are there, or the run has ended without them.
seen_or_ended() { seen "$@" || [ -e "/tmp/$1.ended" ]; }

run() {
    local id=$1 device=$2 status
    shift 2
    : >"/tmp/$id.out"
    : >"/tmp/$id.err"
    if wait_until 300 test -e "$device"; then
        korvin "$@" </dev/null >"/tmp/$id.out" 2>"/tmp/$id.err" &
        echo $! >"/tmp/$id.pid"
        wait $!
        status=$?
    else
        echo "guest: $device did not appear" >"/tmp/$id.err"
        status=126
    fi
    touch "/tmp/$id.ended"
    report "$id" "$status"
}

echo "@@READY $(uname -r)"
# Five minutes without a command: the host has gone, and so does the guest.
while read -t 300 -r command id rest; do
    case $command in
    run)
        # shellcheck disable=SC2086 # the arguments are split as sent
        run "$id" $rest &
        ;;
    expect)
        count=${rest%% *}
        text=${rest#* }
        if wait_until 600 seen_or_ended "$id" "$text" "$count" && seen "$id" "$text" "$count"; then
            echo "@@EXPECT $id seen"
        else
            echo "@@EXPECT $id unseen"
        fi
        ;;
    count)
        echo "@@COUNT $id $(lines_with "$id" "$rest")"
        ;;
    gone)
        if wait_until 300 absent "$rest"; then
            echo "@@GONE $id gone"
        else
            echo "@@GONE $id present"
        fi
        ;;
    stop)
        [ -e "/tmp/$id.ended" ] || kill "$(cat "/tmp/$id.pid")"
        ;;
    dmesg)
        dmesg >"/tmp/$id.out"
        : >"/tmp/$id.err"
        report "$id" 0
        ;;
    poweroff)
        break
        ;;
    *)
        echo "@@UNKNOWN $command"
        ;;
    esac
done
poweroff -f
