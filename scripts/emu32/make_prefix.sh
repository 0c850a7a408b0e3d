#!/usr/bin/env bash
# In the emulated PC: boots a new 32-bit WINEPREFIX and packs it into the tar
# file named by $1, for the tests to restore instead of booting their own.
set -euo pipefail
prefix=/tmp/kv-prefix-win32
rm -rf "$prefix"
export WINEPREFIX=$prefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY
/usr/lib/wine/wine wineboot -i
/usr/lib/wine/wineserver -w
tar -C "$prefix" -cf "$1" .
