#!/usr/bin/env bash
# Prepares the emulated PC that runs the 32-bit Windows programs (these
# machines give user space no 32-bit code segments, so no PE32 starts on the
# host). Everything lands in a cache folder ($KV_EMU32_DIR, default
# /var/tmp/kv-emu32) and is made once:
#   kernel/        Debian's amd64 kernel (IA-32 emulation on) and its modules
#   i386root/      wine32:i386, fontconfig:i386 (for fc-cache) and their
#                  i386 libraries, unpacked: the guest stacks it over the
#                  host's / (the host's dpkg stays amd64); it also gets the
#                  32-bit fontconfig caches that the prefix's boot makes
#   initrd.img     busybox + the 9p/virtio/overlay modules + scripts/emu32/init
#   prefix-win32/  a booted 32-bit WINEPREFIX, made in the guest: the tests
#                  lay their prefixes over it copy-on-write instead of booting
#                  new ones (a minute and more each in the emulated PC)
# Packages come only from the machine's own Debian sources, through a
# private apt state that knows amd64 and i386. The host-wide packages
# (qemu-system-x86, busybox-static, libz-mingw-w64) are in scripts/setup.sh.
# A part is made again when the scripts that make it change.
set -euo pipefail
here=$(dirname "$(realpath "$0")")
cache=$(realpath -m "${KV_EMU32_DIR:-/var/tmp/kv-emu32}")
mkdir -p "$cache"
cd "$cache"
export DEBIAN_FRONTEND=noninteractive
say() { echo "emu32: $*"; }
. "$here/fetch.sh"

for p in qemu-system-x86 busybox-static libz-mingw-w64 xvfb; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
    { echo "emu32: $p is missing (run scripts/setup.sh)" >&2; exit 1; }
done

apt_state() {  # a private apt configuration: the machine's Debian sources for amd64 and i386
  mkdir -p apt/lists/partial apt/archives/partial apt/etc/sources.list.d apt/etc/preferences.d
  [ -f apt/status ] || : > apt/status
  rm -f apt/etc/sources.list.d/*
  : > apt/etc/sources.list
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && grep -qi '^URIs:.*debian' "$f" &&
      sed -e '/^Architectures:/d' -e '/^Types:/a Architectures: amd64 i386' "$f" \
        > "apt/etc/sources.list.d/$(basename "$f")"
  done
  if [ -f /etc/apt/sources.list ]; then
    sed -E 's/^deb (\[[^]]*\] )?/deb [arch=amd64,i386] /' /etc/apt/sources.list | grep '^deb ' \
      > apt/etc/sources.list || true
  fi
  cat > apt/apt.conf <<EOS
Dir::State "$cache/apt"; Dir::State::Lists "$cache/apt/lists"; Dir::State::status "$cache/apt/status";
Dir::Cache "$cache/apt"; Dir::Cache::archives "$cache/apt/archives";
Dir::Etc::SourceList "$cache/apt/etc/sources.list"; Dir::Etc::SourceParts "$cache/apt/etc/sources.list.d";
Dir::Etc::Preferences "$cache/apt/etc/preferences"; Dir::Etc::PreferencesParts "$cache/apt/etc/preferences.d";
APT::Architecture "amd64"; APT::Architectures { "amd64"; "i386"; };
APT::Sandbox::User "root"; Debug::NoLocking "true";
EOS
  export APT_CONFIG=$cache/apt/apt.conf
  if [ ! -f apt/updated ]; then  # made again by the next set-up until every index came
    if update_indexes; then touch apt/updated; else say "going on with the package indexes fetched" >&2; fi
  fi
}

if [ ! -d kernel/boot ] || [ ! -x i386root/usr/bin/fc-cache ]; then
  start=$SECONDS
  apt_state
  if [ ! -d kernel/boot ]; then
    image=$(apt-cache depends linux-image-amd64 | awk '/Depends: linux-image-[0-9]/{print $2; exit}')
    [ -n "$image" ] || { say "no kernel package named in the package indexes" >&2; exit 1; }
    (cd apt/archives && fetch "the kernel package $image" apt-get download -qq "$image") || exit 1
    rm -rf kernel.tmp && dpkg-deb -x apt/archives/"${image}"_*.deb kernel.tmp
    busybox depmod -b "$cache/kernel.tmp" "$(ls kernel.tmp/lib/modules | head -1)"
    mv kernel.tmp kernel
  fi
  if [ ! -x i386root/usr/bin/fc-cache ]; then
    # Resolved against an empty status: the whole i386 closure of wine32.
    fetch "wine32:i386, fontconfig:i386 and their i386 libraries" \
      apt-get install -y -qq --no-install-recommends --download-only wine32:i386 fontconfig:i386 || exit 1
    rm -rf i386root.tmp && mkdir i386root.tmp
    for f in apt/archives/*_i386.deb; do dpkg-deb -x "$f" i386root.tmp; done
    # Merged /usr: a real /lib in the layer would hide the host's /lib -> usr/lib.
    if [ -d i386root.tmp/lib ]; then cp -a i386root.tmp/lib/. i386root.tmp/usr/lib/ && rm -rf i386root.tmp/lib; fi
    # What libwine:i386's install script does (not run when only unpacked): the
    # zlib1.dll builtins, made from libz-mingw-w64. Without them no 32-bit
    # program loads user32.dll.
    for mingw in i686 x86_64; do
      arch=$mingw; [ $mingw = i686 ] && arch=i386
      in=$(ls /usr/$mingw-w64-mingw32/lib/zlib*.dll)
      out=i386root.tmp/usr/lib/i386-linux-gnu/wine/$arch-windows/$(basename "$in")
      { head -c 64 "$in"; printf "Wine builtin DLL"; head -c 16 /dev/zero; tail -c +97 "$in"; } > "$out"
    done
    rm -rf i386root && mv i386root.tmp i386root
  fi
  rm -rf apt/archives/*.deb  # unpacked; fetched again only if a part is lost
  say "kernel and 32-bit Wine unpacked in $((SECONDS - start)) s"
fi

# The initrd and the prefix follow the scripts that make them.
stamp=$(sha256sum < "$here/init" | cut -c1-16)
if [ "$(cat initrd.stamp 2>/dev/null)" != "$stamp" ] || [ ! -f initrd.img ]; then
  kver=$(ls kernel/lib/modules | head -1)
  mods=kernel/lib/modules/$kver
  tmp=$(mktemp -d)
  mkdir -p "$tmp"/bin "$tmp"/sbin "$tmp"/proc "$tmp"/sys "$tmp"/dev "$tmp/lib/modules/$kver"
  cp /bin/busybox "$tmp/bin/busybox"
  install -m 755 "$here/init" "$tmp/init"
  for m in virtio_pci 9pnet_virtio 9p overlay; do
    for f in $(grep -E "^[^:]*/$m\.ko(\.[a-z]+)?:" "$mods/modules.dep" | tr -d ':'); do
      mkdir -p "$tmp/lib/modules/$kver/$(dirname "$f")" && cp "$mods/$f" "$tmp/lib/modules/$kver/$f"
    done
  done
  cp "$mods"/modules.dep "$mods"/modules.alias "$mods"/modules.builtin "$tmp/lib/modules/$kver/" 2>/dev/null || true
  (cd "$tmp" && find . | busybox cpio -o -H newc 2>/dev/null | gzip -1) > initrd.img
  rm -rf "$tmp"
  echo "$stamp" > initrd.stamp
fi

stamp=$(sha256sum < "$here/make_prefix.sh" | cut -c1-16)
fonts=i386root/var/cache/fontconfig
if [ "$(cat prefix.stamp 2>/dev/null)" != "$stamp" ] || [ ! -d prefix-win32 ] ||
   ! ls "$fonts"/*.cache-* >/dev/null 2>&1; then
  start=$SECONDS
  say "making the 32-bit font caches and Wine prefix in the emulated PC (once, 1-3 minutes)"
  rm -rf prefix-win32.tar prefix-win32 prefix-win32.tmp fonts.tmp
  "$here/boot.sh" -t 900 -w "$cache" -- bash "$here/make_prefix.sh" "$cache/prefix-win32.tar" "$cache/fonts.tmp"
  mkdir prefix-win32.tmp && tar -C prefix-win32.tmp -xf prefix-win32.tar && rm prefix-win32.tar
  rm -rf "$fonts" && mkdir -p "$(dirname "$fonts")" && mv fonts.tmp "$fonts"
  mv prefix-win32.tmp prefix-win32
  echo "$stamp" > prefix.stamp
  say "font caches and prefix made in $((SECONDS - start)) s"
fi
say "ready in $cache ($(du -sh "$cache" | cut -f1))"
