#!/usr/bin/env bash
# boot.sh [-m MEM] [-c CPUS] [-t SECONDS] [-w DIR]... -- COMMAND [ARGS...]
# Boots the emulated PC (scripts/emu32/setup.sh made it), runs COMMAND in it
# as root in the current folder, prints its output and exits with its status
# (125 when the PC gave none, e.g. on the time limit). The guest sees the
# host's files read-only, the 32-bit Wine over them, and writes into a tmpfs
# that is lost at power-off, except in each -w DIR, shared read-write at its
# own path. The guest has a /tmp of its own: when the current folder lies in
# the host's /tmp, it is shared read-only at its path. qemu runs under TCG
# (no KVM here) with SMAP off: with it this qemu oopses the guest at Wine's
# first user-mode iret.
set -euo pipefail
cache=${KV_EMU32_DIR:-/var/tmp/kv-emu32}
mem=3G; cpus=2; limit=900; shares=()
while [ $# -gt 0 ]; do
  case "$1" in
    -m) mem=$2; shift 2;; -c) cpus=$2; shift 2;; -t) limit=$2; shift 2;;
    -w) shares+=("$(realpath "$2")"); shift 2;;
    --) shift; break;; *) break;;
  esac
done
[ $# -gt 0 ] || { echo "usage: $0 [-m MEM] [-c CPUS] [-t SECONDS] [-w DIR]... -- COMMAND..." >&2; exit 2; }
kver=$(ls "$cache/kernel/lib/modules" | head -1)
mkdir -p "$cache/jobs"
job=$(mktemp -d "$cache/jobs/job.XXXXXX")
trap 'rm -rf "$job"' EXIT
{ printf 'cd %q || exit 126\n' "$PWD"
  printf 'exec'; printf ' %q' "$@"; printf '\n'; } > "$job/cmd.sh"
fs=(-virtfs "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap"
    -virtfs "local,path=$job,mount_tag=job,security_model=none"
    -virtfs "local,path=$cache/i386root,mount_tag=layer0,security_model=none,readonly=on")
rw=; i=0
for d in "${shares[@]}"; do
  fs+=(-virtfs "local,path=$d,mount_tag=rw$i,security_model=none"); rw+="${rw:+,}rw$i:$d"; i=$((i+1))
done
ro=
case "$PWD" in
  /tmp/*) fs+=(-virtfs "local,path=$PWD,mount_tag=here,security_model=none,readonly=on"); ro="here:$PWD" ;;
esac
set +e
timeout -k 5 "$limit" qemu-system-x86_64 -nodefaults -no-user-config \
  -accel tcg,thread=multi -cpu max,-smap -smp "$cpus" -m "$mem" \
  -display none -monitor none -serial stdio -no-reboot \
  -kernel "$cache/kernel/boot/vmlinuz-$kver" -initrd "$cache/initrd.img" \
  -append "console=ttyS0 quiet loglevel=3 panic=-1 kv.job=$job kv.rw=$rw kv.ro=$ro kv.layers=1 kv.moddir=$cache/kernel/lib/modules" \
  "${fs[@]}" </dev/null 2>&1 | tee "$job/console.log" | sed -u -e '1,/^KV-GUEST-READY/d' -e '/^KV-GUEST-DONE/,$d'
qemu=${PIPESTATUS[0]}
set -e
if [ -f "$job/rc" ]; then exit "$(cat "$job/rc")"; fi
cp "$job/console.log" "$cache/last-console.log"
echo "emu32: the emulated PC gave no exit status (qemu: $qemu); its console is in $cache/last-console.log" >&2
exit 125
