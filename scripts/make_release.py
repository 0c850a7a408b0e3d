#!/usr/bin/env python3
"""Packs the release: build/release/Kestrovaline-<version>.zip from the
win32 and win64 builds (scripts/release.sh builds them first).

Checks each program before it goes in: a PE file of the folder's machine
type, a GUI program where it must be one (the client and the installer; the
probe is a console program) and a version record; then writes the default
Kestrovaline.ini, the user's README.txt (packaging/README.txt), the web
gateway's protocol (docs/web.md), the samples of the web folder beside each
program (packaging/web/alt.html, the panel's panel.json), the licences of
the libraries built in (packaging/THIRD-PARTY.txt) and SHA256SUMS,
and prints the zip's contents. Exits 1 when a check fails.

    python3 scripts/make_release.py [ROOT]
"""

import hashlib
import os
import re
import struct
import sys
import zipfile

PROGRAMS = [("Kestrovaline.exe", "gui"), ("TARNEX_Install.exe", "gui"), ("ipc_probe.exe", "console")]
MACHINES = {"win32": 0x014C, "win64": 0x8664}  # IMAGE_FILE_MACHINE_I386, _AMD64
SUBSYSTEMS = {2: "gui", 3: "console"}


def version_text(root):
    with open(os.path.join(root, "client", "base", "version_numbers.h")) as f:
        return re.search(r'#define KV_VERSION_TEXT "([^"]+)"', f.read()).group(1)


def pe_facts(data):
    """(machine, subsystem name) of a PE image, or None when it is not one."""
    if data[:2] != b"MZ":
        return None
    at = struct.unpack_from("<I", data, 0x3C)[0]
    if data[at:at + 4] != b"PE\0\0":
        return None
    machine = struct.unpack_from("<H", data, at + 4)[0]
    subsystem = struct.unpack_from("<H", data, at + 24 + 68)[0]  # optional header, same offset in PE32 and PE32+
    return machine, SUBSYSTEMS.get(subsystem, str(subsystem))


def version_record(data):
    """The FileVersion string of the version record, or None."""
    m = re.search("FileVersion\0".encode("utf-16-le") + rb"(?:\0\0)*((?:[^\0]\0)+)", data)
    return m.group(1).decode("utf-16-le") if m else None


def shipped_settings(version):
    """The settings the release ships: the layout the client writes itself,
    both addresses auto, so that a first start needs no editing."""
    return ("Kestrovaline Version %s ini file\r\n\r\n[Network Settings]\r\n"
            "IP Address of THIS PC = auto\r\nIP Address of server = auto\r\n" % version).encode()


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
    version = version_text(root)
    files, problems = {}, []  # name in the zip -> bytes
    for folder, machine in MACHINES.items():
        for name, kind in PROGRAMS:
            path = os.path.join(root, "build", folder, "bin", name)
            try:
                with open(path, "rb") as f:
                    data = f.read()
            except OSError as e:
                problems.append("%s: %s" % (path, e.strerror))
                continue
            facts = pe_facts(data)
            if facts != (machine, kind):
                problems.append("%s: %s, wanted machine 0x%04X %s" % (path, facts, machine, kind))
            if version_record(data) is None:
                problems.append("%s: no version record" % path)
            files["%s/%s" % (folder, name)] = data
    with open(os.path.join(root, "packaging", "README.txt")) as f:
        files["README.txt"] = f.read().replace("@VERSION@", version).replace("\n", "\r\n").encode()
    with open(os.path.join(root, "packaging", "THIRD-PARTY.txt")) as f:
        files["THIRD-PARTY.txt"] = f.read().replace("\n", "\r\n").encode()
    with open(os.path.join(root, "docs", "web.md")) as f:
        files["web.md"] = f.read().replace("\n", "\r\n").encode()
    # Beside each program, the folder of the user's own pages with samples to
    # start from: a page made with kestrovaline.js, and the panel's set-up.
    for sample in (os.path.join("packaging", "web", "alt.html"), os.path.join("client", "web", "pages", "panel.json")):
        with open(os.path.join(root, sample), "rb") as f:
            data = f.read()
        for folder in MACHINES:
            files["%s/web/%s" % (folder, os.path.basename(sample))] = data
    files["Kestrovaline.ini"] = shipped_settings(version)
    files["SHA256SUMS"] = "".join("%s  %s\n" % (hashlib.sha256(files[n]).hexdigest(), n) for n in sorted(files)).encode()
    for p in problems:
        print("release: " + p)
    if problems:
        return 1

    out_dir = os.path.join(root, "build", "release")
    os.makedirs(out_dir, exist_ok=True)
    zip_path = os.path.join(out_dir, "Kestrovaline-%s.zip" % version)
    top = "Kestrovaline-%s/" % version
    with zipfile.ZipFile(zip_path, "w", zipfile.ZIP_DEFLATED) as z:
        for name in sorted(files):
            info = zipfile.ZipInfo(top + name, date_time=(2026, 1, 1, 0, 0, 0))  # the same bytes from the same build
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = 0o644 << 16
            z.writestr(info, files[name])
    print(zip_path)
    for name in sorted(files):
        print("  %-44s %9d  %s" % (top + name, len(files[name]), version_record(files[name]) or ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
