#!/usr/bin/env bash
# In the emulated PC: makes the 32-bit fontconfig caches into the folder $2
# and boots a new 32-bit WINEPREFIX, packed into the tar file $1, for the
# tests to restore instead of booting their own.
# Without caches of its own (the host's are 64-bit ones), the 32-bit
# fontconfig scans every font the first time a Wine program of a boot asks
# for fonts: minutes at this speed, inside a program's start-up.
set -euo pipefail
prefix=/tmp/kv-prefix-win32
rm -rf "$prefix" "$2"
fc-cache -s
mkdir -p "$2"
cp /var/cache/fontconfig/*-le32*.cache-* "$2"/  # i386's; the host's are *-le64*
export WINEPREFIX=$prefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY
/usr/lib/wine/wine wineboot -i
/usr/lib/wine/wineserver -w
tar -C "$prefix" -cf "$1" .
