#!/usr/bin/env python3
"""Checks the client's layers: a folder of client/ includes only its own
headers and those of the folders below it,

    base  <-  ipc  <-  link  <-  shell

and the image's storage stays private to client/ipc/offset_image.cpp. Prints
every include that runs upward (or sideways into an unknown folder) and
every declaration of the image's storage elsewhere; exits 1 when there is
one. Folders in a strict order cannot form a cycle, so no upward include
also means no cycle between folders.

    python3 scripts/check_layers.py [ROOT]
"""

import os
import re
import sys

LAYERS = ["base", "ipc", "link", "shell"]  # bottom to top
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')
IMAGE_STORAGE = re.compile(r"\b(offsetImage|writeShadow|offsetOwnership|linkActivityCount|imageLock)\b")
SOURCE = (".h", ".cpp")


def sources(root):
    for folder, _, files in os.walk(root):
        for name in sorted(files):
            if name.endswith(SOURCE):
                yield os.path.join(folder, name)


def upward_includes(client):
    problems = []
    for path in sources(client):
        layer = os.path.relpath(path, client).split(os.sep)[0]
        if layer not in LAYERS:
            problems.append("%s: not in a layer folder (%s)" % (path, ", ".join(LAYERS)))
            continue
        with open(path, encoding="utf-8", errors="replace") as f:
            for number, line in enumerate(f, 1):
                m = INCLUDE.match(line)
                if not m or "/" not in m.group(1):
                    continue  # a system header, or one beside the file (resources)
                target = m.group(1).split("/")[0]
                if target not in LAYERS:
                    problems.append("%s:%d: includes %s, outside the layers" % (path, number, m.group(1)))
                elif LAYERS.index(target) > LAYERS.index(layer):
                    problems.append("%s:%d: %s includes %s, a layer above it" % (path, number, layer, m.group(1)))
    return problems


def image_storage_outside(root):
    """Names of the image's storage anywhere but in offset_image.cpp, outside comments."""
    problems = []
    for top in ("client", "tools", "tests", "fuzz", "bench", "installer"):
        for path in sources(os.path.join(root, top)):
            if path.endswith(os.path.join("ipc", "offset_image.cpp")):
                continue
            with open(path, encoding="utf-8", errors="replace") as f:
                for number, line in enumerate(f, 1):
                    code = line.split("//", 1)[0]
                    m = IMAGE_STORAGE.search(code)
                    if m:
                        problems.append("%s:%d: uses %s, private to offset_image.cpp" % (path, number, m.group(1)))
    return problems


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    problems = upward_includes(os.path.join(root, "client")) + image_storage_outside(root)
    for p in problems:
        print(p)
    if problems:
        print("%d layering problems" % len(problems))
        return 1
    print("layers: %s, no include upward; the image's storage is private" % " <- ".join(LAYERS))
    return 0


if __name__ == "__main__":
    sys.exit(main())
