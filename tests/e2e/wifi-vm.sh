#!/usr/bin/env bash
# The whole system over 802.11: a QEMU virtual machine in software emulation boots Debian's
# kernel over this machine's root folder (9p, read-only, under a tmpfs overlay), where
# wifi-vm-guest.sh makes two mac80211_hwsim radios, runs NetworkManager, and runs
# wholesystem.sh with the real Beaconry bringing up the access point and the scanner behind the
# second radio. Root only; skipped without QEMU, the kernel or busybox-static.
set -uo pipefail
build=$(realpath "$1") out=$(realpath -m "$2") started=$SECONDS
[[ $(id -u) -eq 0 ]] || { echo "skipped: needs root"; exit 77; }
kernel=$(ls /boot/vmlinuz-* 2>/dev/null | sort -V | tail -1) version=${kernel#/boot/vmlinuz-}
for need in qemu-system-x86_64 /bin/busybox "$kernel" "/lib/modules/$version/kernel/drivers/net/wireless/mac80211_hwsim.ko"; do
    [[ -e $need ]] || command -v "$need" >/dev/null || { echo "skipped: $need is missing (bash scripts/setup.sh installs it)"; exit 77; }
done
work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT && mkdir -p "$out" "$work/root/bin" && rm -f "$out/status"
# The initial root: busybox, the modules for a 9p root under an overlay, and the init below.
cp /bin/busybox "$work/root/bin/" && for m in virtio_pci 9pnet_virtio 9p overlay; do
    modprobe -S "$version" --show-depends "$m" | awk '$1 == "insmod" {print $2}'
done | awk '!seen[$0]++' | while read -r ko; do cp "$ko" "$work/root/" && basename "$ko" >>"$work/root/modules"; done
cat >"$work/root/init" <<'INIT'
#!/bin/busybox sh
/bin/busybox --install -s /bin && mount -t devtmpfs dev /dev
for m in $(cat /modules); do insmod "/$m"; done
mkdir -p /mnt/lower /mnt/upper /mnt/root && mount -t tmpfs -o size=3g up /mnt/upper && mkdir /mnt/upper/u /mnt/upper/w
mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=512000 root /mnt/lower
mount -t overlay -o lowerdir=/mnt/lower,upperdir=/mnt/upper/u,workdir=/mnt/upper/w root /mnt/root
mkdir -p /mnt/root/mnt/out && mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 out /mnt/root/mnt/out
umount /dev && exec switch_root /mnt/root /bin/bash "$ostra_guest" "$ostra_build"
INIT
# A sanitizer build's options, its suppressions among them, hold inside the machine too.
declare -px TSAN_OPTIONS ASAN_OPTIONS LSAN_OPTIONS UBSAN_OPTIONS >"$out/sanitizer.env" 2>/dev/null
chmod +x "$work/root/init" && (cd "$work/root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd"
timeout 1200 qemu-system-x86_64 -accel tcg -cpu max -smp 2 -m 3072 -nic none -display none -no-reboot \
    -kernel "$kernel" -initrd "$work/initrd" -serial "file:$out/console.log" -monitor none \
    -append "console=ttyS0 quiet panic=-1 ostra_guest=$(realpath "$(dirname "$0")")/wifi-vm-guest.sh ostra_build=$build" \
    -virtfs local,path=/,mount_tag=root,security_model=none,readonly=on,multidevs=remap \
    -virtfs "local,path=$out,mount_tag=out,security_model=none,multidevs=remap"
sed 's/\r$//' "$out/console.log" | grep -E '^(ok: |FAIL|skipped|guest|scanner|pictures|notific|all checks|[0-9]+ check)' || true
say_time() { echo "time: boot $(cat "$out/boot" 2>/dev/null || echo ?) s (kernel to the guest's script), whole run $((SECONDS - started)) s"; }
say_time && [[ -s $out/status ]] || { echo "FAIL: the virtual machine gave no result (see $out/console.log)"; exit 1; }
exit "$(cat "$out/status")"
