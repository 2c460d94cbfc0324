#!/busybox sh
# The Wine guest's init: this machine's /usr and /etc come in read-only over
# virtio-9p, so Wine is the one installed here; the source tree comes in
# read-only at its own path, the build folder over it read-write (the Wine
# prefix and the Wine tier's scratch files are in it). Every
# case's output is framed as "@@begin NAME" .. "@@end NAME STATUS" for the
# test on the outside. /cases.conf gives:
#   MODULES   modules to load in order (9p, the USB adapters)
#   SOURCE    the source tree; BUILD the folder of the build presets
#   PREFIX    the Wine prefix, in BUILD; E2E "yes" to run the 32-bit Wine
#             scenarios
#   SCENARIOS those scenarios; UART the 16550 under test
B=/busybox
export PATH=/usr/bin:/usr/sbin
$B mount -t proc proc /proc
$B mount -t sysfs sysfs /sys
$B mount -t devtmpfs devtmpfs /dev
$B mkdir -p /dev/pts /dev/shm
$B mount -t devpts devpts /dev/pts
$B mount -t tmpfs tmpfs /dev/shm
. /cases.conf
for module in $MODULES; do
    $B insmod "/modules/$module.ko" || echo "@@error insmod $module"
done
# busybox mount takes a tag for a file, and tries a loop device, when a file
# of that name lies in the working folder.
cd /tmp
share() {
    $B mkdir -p "$2"
    $B mount -t 9p -o "trans=virtio,version=9p2000.L,msize=512000,$3" "$1" "$2" || echo "@@error mount $1"
}
share usr /usr ro,cache=loose
share etc /etc ro,cache=loose
share source "$SOURCE" ro,cache=loose
# Wine maps programs and DLLs into memory: without a cache, or with 9p's
# cache=mmap, it maps some of them wrong. Only the guest writes here.
share build "$BUILD" rw,cache=loose
echo "@@booted $($B cut -d' ' -f1 /proc/uptime)"

run() {
    name=$1
    shift
    # A file, not a pipe: Wine's processes keep the first one's output open.
    "$@" </dev/null >/tmp/case.out 2>&1
    status=$?
    echo "@@begin $name"
    cat /tmp/case.out
    echo "@@end $name $status"
}

# There is no udev: each adapter's node appears when ftdi_sio binds to it.
# The test names them by their USB serial numbers.
for _ in $(seq 100); do
    [ -e /dev/ttyUSB2 ] && break
    sleep 0.1
done
for tty in /sys/class/tty/ttyUSB*; do
    usb=$tty/device/../..
    echo "@@adapter $(basename "$tty") $(cat "$usb/serial") $(cat "$usb/busnum"):$(cat "$usb/devnum")"
    # The first adapter keeps the serial number QEMU gives it.
    case $(cat "$usb/serial") in
    W32) ADAPTER_W32=/dev/$(basename "$tty") ;;
    WL) ADAPTER_WL=/dev/$(basename "$tty") ;;
    *) ADAPTER_W64=/dev/$(basename "$tty") ;;
    esac
done

export HOME=/root WINEPREFIX="$PREFIX" WINEDEBUG=-all
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d"
# Started quietly first: Wine's processes inherit the first one's output.
wineserver -p </dev/null >/dev/null 2>&1
# A prefix made on a machine that runs no 32-bit programs lacks Wine's
# 32-bit half; here it can be added.
if [ -e "$PREFIX/drive_c/windows/syswow64/kernel32.dll" ]; then
    /usr/lib/wine/wine64 wineboot </dev/null >/dev/null 2>&1
else
    # An update, as after a new Wine: it installs the 32-bit half too.
    rm -f "$PREFIX/.update-timestamp"
    /usr/lib/wine/wine64 wineboot -u </dev/null >/dev/null 2>&1
fi
echo "@@syswow64 $(ls "$PREFIX/drive_c/windows/syswow64" | wc -l) files"
echo "@@wine $($B cut -d' ' -f1 /proc/uptime)"

com61() {
    ln -sfn "$1" "$PREFIX/dosdevices/com61"
}

# The Windows DLL, as a Windows host under Wine gets it, on the adapter's
# first use since boot and after.
pe_cases() {
    bits=$1 wine=$2 adapter=$3
    tool="$BUILD/win$bits/brindlex.exe"
    com61 "$adapter"
    run "pe$bits.ftdi.first" "$wine" "$tool" check
    run "pe$bits.ftdi.set" "$wine" "$tool" set 1 0 10 13
    run "pe$bits.ftdi.level" "$wine" "$tool" level 2 10
    run "pe$bits.ftdi.later" "$wine" "$tool" check
    # What Wine users are told to do before each start of the host.
    run "pe$bits.ftdi.reset" stty -F "$adapter" 9600
    run "pe$bits.ftdi.reset-set" "$wine" "$tool" set 1 0 10 13
    com61 "$UART"
    run "pe$bits.uart.check" "$wine" "$tool" check
    run "pe$bits.uart.set" "$wine" "$tool" set 1 0 10 13
    run "pe$bits.uart.level" "$wine" "$tool" level 2 10
}

# The Winelib DLL as a user lays it out: its placeholder Brindlex.dll in the
# host's folder in place of the Windows DLL, and WINEDLLPATH naming the folder
# of brindlex.dll.so. It opens /dev/brindlex as the Linux library does.
host_folder() {
    folder=/tmp/host$1
    mkdir -p "$folder"
    cp "$BUILD/win$1/brindlex.exe" "$BUILD/win$1/brindlex_wine_host.exe" "$BUILD/winelib$1/winelib/Brindlex.dll" \
        "$folder/"
    export WINEDLLPATH="$BUILD/winelib$1/winelib"
}
winelib_cases() {
    bits=$1 wine=$2 adapter=$3 first=$4
    host_folder "$bits"
    ln -sfn "$adapter" /dev/brindlex
    run "winelib$bits.ftdi.$first" "$wine" "$folder/brindlex.exe" devices
    run "winelib$bits.ftdi.drive" "$wine" "$folder/brindlex_wine_host.exe" load ordinals notify \
        $(cat /drive.steps) ignored 10 unload
    run "winelib$bits.ftdi.later" "$wine" "$folder/brindlex.exe" set 1 0 10 13
    ln -sfn "$UART" /dev/brindlex
    run "winelib$bits.uart.devices" "$wine" "$folder/brindlex.exe" devices
    unset WINEDLLPATH
}

# The Winelib DLL first, on an adapter nothing has used yet and on the 16550.
winelib_fresh() {
    host_folder 64
    ln -sfn "$1" /dev/brindlex
    run winelib64.fresh.set /usr/lib/wine/wine64 "$folder/brindlex.exe" set 1 0 10 13
    ln -sfn "$UART" /dev/brindlex
    run winelib64.fresh-uart.devices /usr/lib/wine/wine64 "$folder/brindlex.exe" devices
    unset WINEDLLPATH
}
winelib_fresh "$ADAPTER_WL"
pe_cases 64 /usr/lib/wine/wine64 "$ADAPTER_W64"
winelib_cases 64 /usr/lib/wine/wine64 "$ADAPTER_W64" after-windows-dll
pe_cases 32 /usr/lib/wine/wine "$ADAPTER_W32"
winelib_cases 32 /usr/lib/wine/wine "$ADAPTER_W32" after-windows-dll
rm -f "$PREFIX/dosdevices/com61" /dev/brindlex

# The 32-bit scenarios of the Wine tier, for a machine whose own kernel
# cannot run 32-bit programs.
if [ "$E2E" = yes ]; then
    for scenario in $SCENARIOS; do
        run "e2e.$scenario" /usr/bin/python3 "$SOURCE/tests/wine/wine_e2e.py" --prefix "$PREFIX" \
            --loader /usr/lib/wine/wine --host "$BUILD/win32/brindlex_wine_host.exe" \
            --emulator "$BUILD/native/brindlex-emulator" "$scenario"
    done
fi

wineserver -k </dev/null >/dev/null 2>&1
wineserver -w </dev/null >/dev/null 2>&1
$B sync
echo "@@done"
$B poweroff -f
