#!/bin/busybox sh
# The test guest's init: brings up the serial drivers and runs each case
# against the real library and tool, framing every case's output with
# "@@begin NAME" and "@@end NAME STATUS" for the test on the outside. Which
# ports exist comes from /cases.conf:
#   UART     the board's own serial port (a 16550, or the PL011 on ARM)
#   NO_UART  a port the kernel lists with no UART behind it (may be empty)
#   UART_NAME        the UART's name under /dev
#   MODULES          modules to load in order, for the USB serial adapter
#   CONSOLE          the console's node where a module brings it up (virtio
#                    on ARM, leaving the board's UART free), else empty
#   CONSOLE_MODULES  the modules that bring it up
# /tests.sh then runs a cross build's test binaries, each as a case.
/bin/busybox --install -s /bin
export PATH=/bin LD_LIBRARY_PATH=/lib
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts /tmp
mount -t devpts devpts /dev/pts
. /cases.conf
if [ -n "$CONSOLE" ]; then
    for module in $CONSOLE_MODULES; do
        insmod "/modules/$module.ko"
    done
    # The node can appear before the port behind it opens; a failed exec
    # redirection would end init, and the guest with it.
    for _ in $(seq 200); do
        [ -e "$CONSOLE" ] && (: <"$CONSOLE") 2>/dev/null && break
        sleep 0.05
    done
    exec <"$CONSOLE" >"$CONSOLE" 2>&1
fi
echo "@@booted $(cut -d' ' -f1 /proc/uptime)"

B=/opt/brindlex
run() {
    name=$1
    shift
    echo "@@begin $name"
    "$@" 2>&1
    echo "@@end $name $?"
}
use_port() {
    ln -sfn "$1" /dev/brindlex
}

for module in $MODULES; do
    insmod "/modules/$module.ko" || echo "@@error insmod $module"
done

use_port "$UART"
run uart.check "$B/brindlex" check
run uart.drive "$B/guest_host" "$B/libBrindlex.so" drive "$B/calls"

if [ -n "$NO_UART" ]; then
    use_port "$NO_UART"
    run nouart.check "$B/brindlex" check
fi

# There is no udev: the adapter's node appears when ftdi_sio binds to it.
for _ in $(seq 100); do
    [ -e /dev/ttyUSB0 ] && break
    sleep 0.1
done
echo "@@adapter $(cut -d' ' -f1 /proc/uptime) $(ls /dev/ttyUSB0 2>&1)"
use_port /dev/ttyUSB0
run ftdi.check "$B/brindlex" check
# What sysfs says of each port, read without opening any.
run ports "$B/brindlex" ports
run ports.rule "$B/brindlex" ports --udev-rule /dev/ttyUSB0
run ports.uartrule "$B/brindlex" ports --udev-rule "$UART_NAME"
run ftdi.drive "$B/guest_host" "$B/libBrindlex.so" drive "$B/calls"

# A second host while the first holds the port.
rm -f /tmp/release
"$B/guest_host" "$B/libBrindlex.so" hold /tmp/release >/tmp/holder 2>&1 &
holder=$!
for _ in $(seq 100); do
    grep -q holding /tmp/holder && break
    sleep 0.05
done
run ftdi.busy "$B/brindlex" devices
touch /tmp/release
wait $holder
run ftdi.holder cat /tmp/holder

# The test on the outside unplugs the adapter when it reads "unplug-now".
run ftdi.unplug "$B/guest_host" "$B/libBrindlex.so" unplug /dev/ttyUSB0

# Plain text: the test on the outside reads GoogleTest's counts.
export GTEST_COLOR=no
. /tests.sh

echo "@@done"
poweroff -f
