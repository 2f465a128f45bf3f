#!/bin/sh
# The QEMU guest the driver cases boot: Debian's kernel, the modules of the
# xHCI host controller and the FTDI adapter, busybox and a static korvin in
# an initramfs whose /init is init.sh beside this script.
#   guest.sh CACHE OUT KORVIN
# CACHE keeps the downloaded packages and what is taken from them, so that
# only the first run downloads; OUT receives vmlinuz (and vmlinux, the ELF
# image inside it, when xz can unpack it) and initrd.gz. Prints
# "SKIPPED: why" and succeeds when this machine cannot build the guest.
set -eu
cache=$1 out=$2 korvin=$3
here=$(cd "$(dirname "$0")" && pwd)

skip() {
    echo "SKIPPED: $*"
    rm -f "$out/initrd.gz" "$out/vmlinuz" "$out/vmlinux"
    exit 0
}

command -v qemu-system-x86_64 >/dev/null || skip "no qemu-system-x86_64 (Debian package qemu-system-x86)"
command -v dpkg-deb >/dev/null || skip "no dpkg-deb"
[ -x "$korvin" ] || skip "the static korvin $korvin is not built"
mkdir -p "$cache/debs" "$out"
cache=$(cd "$cache" && pwd) out=$(cd "$out" && pwd)

# The newest .deb of package $1 in the cache, or nothing.
cached() {
    ls "$cache/debs/$1"_*_amd64.deb 2>/dev/null | sort -V | tail -n 1
}

# The package the linux-image-amd64 meta package depends on, e.g.
# linux-image-6.1.0-57-amd64; empty while apt has no package lists.
kernel_package() {
    apt-cache depends linux-image-amd64 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*-amd64\)$/\1/p' | head -n 1
}

kernel_deb=$(ls "$cache/debs"/linux-image-[0-9]*-amd64_*_amd64.deb 2>/dev/null | sort -V | tail -n 1)
busybox_deb=$(cached busybox-static)
if [ -z "$kernel_deb" ] || [ -z "$busybox_deb" ]; then
    command -v apt-get >/dev/null || skip "no apt-get to download the kernel and busybox"
    kernel=$(kernel_package)
    if [ -z "$kernel" ]; then
        # A machine whose package lists were never fetched.
        [ "$(id -u)" -eq 0 ] || skip "apt has no package lists; run apt-get update as root"
        apt-get update -q >"$cache/apt-update.log" 2>&1 || skip "apt-get update failed (see $cache/apt-update.log)"
        kernel=$(kernel_package)
        [ -n "$kernel" ] || skip "apt knows no linux-image-amd64"
    fi
    echo "downloading $kernel and busybox-static into $cache/debs"
    # apt's sandbox user may not write here; then it downloads as root.
    (cd "$cache/debs" && apt-get download -q "$kernel" busybox-static) ||
        skip "apt-get download $kernel busybox-static failed"
    kernel_deb=$(cached "$kernel")
    busybox_deb=$(cached busybox-static)
fi

# The kernel, once per package: only the kernel images and the modules the
# guest loads are kept, with the order insmod needs them in.
kernel_dir=$cache/$(basename "$kernel_deb" .deb)
if [ ! -f "$kernel_dir/modules/order" ]; then
    echo "unpacking $(basename "$kernel_deb")"
    rm -rf "$kernel_dir" "$cache/unpacked"
    dpkg-deb -x "$kernel_deb" "$cache/unpacked"
    mkdir -p "$kernel_dir/modules"
    cp "$cache/unpacked"/boot/vmlinuz-* "$kernel_dir/vmlinuz"
    # Under TCG the guest would spend seconds unpacking its kernel; QEMU
    # boots the ELF image inside the bzImage directly (its PVH entry). The
    # image is the xz stream that yields an ELF file.
    if command -v xz >/dev/null; then
        for offset in $(LC_ALL=C grep -abo "$(printf '\3757zXZ')" "$kernel_dir/vmlinuz" | cut -d: -f1); do
            tail -c +$((offset + 1)) "$kernel_dir/vmlinuz" | xz -dc --single-stream >"$kernel_dir/vmlinux" 2>/dev/null || true
            [ "$(head -c 4 "$kernel_dir/vmlinux" | tr -d '\177')" = ELF ] && break
            rm -f "$kernel_dir/vmlinux"
        done
    fi
    tree=$(echo "$cache/unpacked"/lib/modules/*/kernel)
    order=""
    # Adds module $1 after the modules it depends on (its .modinfo
    # "depends=" string; names there may use - where files use _ or back).
    # busybox's insmod takes plain modules only: newer kernels' .ko.xz are
    # unpacked here.
    add_module() {
        case " $order " in *" $1 "*) return 0 ;; esac
        local file deps dep
        file=$(find "$tree" \( -name "$1.ko*" -o -name "$(echo "$1" | tr _- -_).ko*" \) | head -n 1)
        case $file in
        "") echo "module $1 not found in $(basename "$kernel_deb")" >&2; exit 1 ;;
        *.ko) cp "$file" "$kernel_dir/modules/$1.ko" ;;
        *.ko.xz) xz -dc "$file" >"$kernel_dir/modules/$1.ko" ;;
        *) echo "cannot unpack the module $file" >&2; exit 1 ;;
        esac
        deps=$(tr '\0' '\n' <"$kernel_dir/modules/$1.ko" | sed -n 's/^depends=//p' | tr ',' ' ')
        for dep in $deps; do
            add_module "$dep"
        done
        order="$order $1"
    }
    # The xHCI controller of -device qemu-xhci, and usb-serial's FTDI chip.
    for m in xhci_pci ftdi_sio; do
        add_module "$m"
    done
    rm -rf "$cache/unpacked"
    echo "$order" >"$kernel_dir/modules/order.tmp"
    mv "$kernel_dir/modules/order.tmp" "$kernel_dir/modules/order"
fi

busybox_dir=$cache/$(basename "$busybox_deb" .deb)
if [ ! -x "$busybox_dir/busybox" ]; then
    rm -rf "$busybox_dir" "$cache/unpacked"
    dpkg-deb -x "$busybox_deb" "$cache/unpacked"
    mkdir -p "$busybox_dir"
    cp "$cache/unpacked/bin/busybox" "$busybox_dir/busybox"
    rm -rf "$cache/unpacked"
fi

# The initramfs, anew each time: korvin changes with every build. No device
# nodes are needed in it (they would need root): /init mounts devtmpfs.
root=$out/root
rm -rf "$root"
mkdir -p "$root/bin" "$root/dev" "$root/proc" "$root/sys" "$root/tmp" "$root/modules"
cp "$busybox_dir/busybox" "$root/bin/busybox"
cp "$korvin" "$root/bin/korvin"
cp "$kernel_dir"/modules/*.ko "$kernel_dir/modules/order" "$root/modules/"
cp "$here/init.sh" "$root/init"
chmod 755 "$root/init" "$root/bin/busybox" "$root/bin/korvin"
(cd "$root" && find . | "$busybox_dir/busybox" cpio -o -H newc >"$out/initrd") 2>&1 | grep -v blocks || true
gzip -1 -f "$out/initrd"
# Without /init the kernel would only panic at boot.
gzip -dc "$out/initrd.gz" | "$busybox_dir/busybox" cpio -t 2>/dev/null | grep -qx init || {
    echo "the initramfs $out/initrd.gz lacks /init" >&2
    exit 1
}
rm -f "$out/vmlinuz" "$out/vmlinux"
for image in vmlinuz vmlinux; do
    [ ! -f "$kernel_dir/$image" ] || ln "$kernel_dir/$image" "$out/$image" 2>/dev/null ||
        cp "$kernel_dir/$image" "$out/$image"
done
rm -rf "$root"
echo "guest ready in $out: $(basename "$kernel_deb" .deb)$([ -f "$out/vmlinux" ] || echo ' (bzImage only: no xz)'), modules$(cat "$kernel_dir/modules/order")"
