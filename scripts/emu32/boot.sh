#!/usr/bin/env bash
# boot.sh [-m MEM] [-c CPUS] [-t SECONDS] [-w DIR]... [-r DIR]... -- COMMAND [ARGS...]
# Boots the emulated PC (scripts/emu32/setup.sh made it), runs COMMAND in it
# as root in the current folder, prints its output and exits with its status
# (125 when the PC gave none, e.g. on the time limit). The guest sees the
# host's files read-only, the 32-bit Wine over them, and writes into a tmpfs
# that is lost at power-off, except in each -w DIR, shared read-write at its
# own path.
# The guest has a /tmp of its own, which hides the host's. So that a job
# finds its files wherever they lie, these are shared read-only at their own
# paths when they lie in the host's /tmp: the checkout that holds this script
# (found by the script's own location, not the caller's), the current
# folder, the cache folder and each -r DIR.
# The shares' paths reach the guest in the job folder, not on the kernel's
# command line, so they may hold spaces and commas.
# qemu runs under TCG (no KVM here) with SMAP off: with it this qemu oopses
# the guest at Wine's first user-mode iret.
set -euo pipefail
checkout=$(realpath "$(dirname "$(realpath "$0")")/../..")
cache=$(realpath -m "${KV_EMU32_DIR:-/var/tmp/kv-emu32}")
mem=3G; cpus=2; limit=900
declare -A share=()  # host path -> rw | ro
while [ $# -gt 0 ]; do
  case "$1" in
    -m) mem=$2; shift 2;; -c) cpus=$2; shift 2;; -t) limit=$2; shift 2;;
    -w) share[$(realpath "$2")]=rw; shift 2;;
    -r) p=$(realpath "$2"); share[$p]=${share[$p]:-ro}; shift 2;;
    --) shift; break;; *) break;;
  esac
done
[ $# -gt 0 ] || { echo "usage: $0 [-m MEM] [-c CPUS] [-t SECONDS] [-w DIR]... [-r DIR]... -- COMMAND..." >&2; exit 2; }
[ -d "$cache/kernel/lib/modules" ] && [ -f "$cache/initrd.img" ] ||
  { echo "emu32: no emulated PC in $cache (run scripts/emu32/setup.sh)" >&2; exit 2; }
here=$(realpath "$PWD")
for p in "$checkout" "$here" "$cache"; do
  case "$p" in /tmp/*) share[$p]=${share[$p]:-ro} ;; esac
done

kver=$(ls "$cache/kernel/lib/modules" | head -1)
mkdir -p "$cache/jobs"
job=$(mktemp -d "$cache/jobs/job.XXXXXX")
trap 'rm -rf "$job"' EXIT
{ printf 'cd %q || exit 126\n' "$here"
  printf 'exec'; printf ' %q' "$@"; printf '\n'; } > "$job/cmd.sh"
realpath "$cache/kernel/lib/modules" > "$job/moddir"

opt() { printf '%s' "${1//,/,,}"; }  # a value inside a qemu option list: commas doubled
fs=(-virtfs "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap"
    -virtfs "local,path=$(opt "$job"),mount_tag=job,security_model=none"
    -virtfs "local,path=$(opt "$(realpath "$cache/i386root")"),mount_tag=layer0,security_model=none,readonly=on")
# One line a share, "TAG MODE PATH", a folder before those inside it (in
# byte order every path sorts before the paths it holds).
: > "$job/shares"; i=0
while IFS= read -r p; do
  [ -n "$p" ] || continue
  case "$p" in *$'\n'*) echo "emu32: a share's path holds a line break: $p" >&2; exit 2 ;; esac
  mode=${share[$p]}; ro=; [ "$mode" = rw ] || ro=,readonly=on
  fs+=(-virtfs "local,path=$(opt "$p"),mount_tag=s$i,security_model=none$ro")
  printf 's%d %s %s\n' "$i" "$mode" "$p" >> "$job/shares"; i=$((i+1))
done < <(printf '%s\n' "${!share[@]}" | LC_ALL=C sort)

set +e
timeout -k 5 "$limit" qemu-system-x86_64 -nodefaults -no-user-config \
  -accel tcg,thread=multi -cpu max,-smap -smp "$cpus" -m "$mem" \
  -display none -monitor none -serial stdio -no-reboot \
  -kernel "$cache/kernel/boot/vmlinuz-$kver" -initrd "$cache/initrd.img" \
  -append "console=ttyS0 quiet loglevel=3 panic=-1 kv.layers=1" \
  "${fs[@]}" </dev/null 2>&1 | tee "$job/console.log" | sed -u -e '1,/^KV-GUEST-READY/d' -e '/^KV-GUEST-DONE/,$d'
qemu=${PIPESTATUS[0]}
set -e
if [ -f "$job/rc" ]; then exit "$(cat "$job/rc")"; fi
cp "$job/console.log" "$cache/last-console.log"
echo "emu32: the emulated PC gave no exit status (qemu: $qemu); its console is in $cache/last-console.log" >&2
exit 125
