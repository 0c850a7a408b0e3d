#!/usr/bin/env bash
# Boots the emulated PC as the set-up does when it makes the prefix: the
# caller stands in the cache folder, the script to run lies in a checkout,
# and both lie in the host's /tmp, which the guest's own /tmp hides. Names
# with a space and a comma, a read-write share inside the checkout and a
# read-only one (-r) beside it. The job must find its script, read the
# cache, stand where the caller stood, read the -r folder and not write it,
# and write into its share. Needs a made emulated PC ($KV_EMU32_DIR or
# /var/tmp/kv-emu32, scripts/emu32/setup.sh); one boot, about half a minute.
set -euo pipefail
src=$(realpath "$(dirname "$0")/../..")
cache=$(realpath -m "${KV_EMU32_DIR:-/var/tmp/kv-emu32}")
scratch=$(mktemp -d /tmp/kv-boot-shares.XXXXXX)
trap 'rm -rf "$scratch"' EXIT

checkout="$scratch/a checkout, 1"
here="$scratch/a cache"            # its parts are those of the made one
out="$checkout/build/out, rw"
ro="$scratch/read, only"
mkdir -p "$checkout/scripts/emu32" "$here" "$out" "$ro"
cp "$src/scripts/emu32/boot.sh" "$checkout/scripts/emu32/"
for part in kernel initrd.img i386root; do ln -s "$cache/$part" "$here/$part"; done
echo "from the cache" > "$here/marker"
echo "from the -r folder" > "$ro/marker"
cat > "$checkout/scripts/emu32/job.sh" <<'EOS'
# In the guest: $1 the folder the caller stood in, $2 the -r folder, $3 the share.
set -u
{ [ "$PWD" = "$1" ] && echo "stands in the caller's folder"
  cat "$1/marker" "$2/marker"
  touch "$2/written" 2>/dev/null || echo "the -r folder is read-only"
  echo "job script found at $(dirname "$0")"
} > "$3/report"
EOS

( cd "$here" && KV_EMU32_DIR=$here bash "$checkout/scripts/emu32/boot.sh" -t 300 -m 512M -c 1 -w "$out" -r "$ro" -- \
    bash "$checkout/scripts/emu32/job.sh" "$here" "$ro" "$out" ) || true

expected="stands in the caller's folder
from the cache
from the -r folder
the -r folder is read-only
job script found at $checkout/scripts/emu32"
if [ "$(cat "$out/report" 2>/dev/null)" != "$expected" ]; then
  echo "boot_shares: FAILED; the guest reported:" >&2
  cat "$out/report" >&2 2>/dev/null || echo "(nothing)" >&2
  exit 1
fi
echo "boot_shares: passed"
