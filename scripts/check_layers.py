#!/usr/bin/env python3
"""Checks the client's layers: a folder of client/ includes only its own
headers and those of the folders below it,

    base  <-  ipc  <-  link  <-  web  <-  shell

the image's storage stays private to client/ipc/offset_image.cpp, and the
wire's constants are defined once, in client/base/protocol.h. Prints every
include that runs upward (or sideways into an unknown folder), every use of
the image's storage elsewhere and every constant defined elsewhere with the
value of a wire constant; exits 1 when there is one. Mutable state in
headers is held down too: no header of client/link/ declares a mutable
global (the link's state belongs to its Link), and all of client/ declare at
most MAX_HEADER_GLOBALS. Folders in a strict order cannot form a cycle, so no upward include
also means no cycle between folders.

    python3 scripts/check_layers.py [ROOT]
"""

import os
import re
import sys

LAYERS = ["base", "ipc", "link", "web", "shell"]  # bottom to top
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')
IMAGE_STORAGE = re.compile(r"\b(offsetImage|writeShadow|offsetOwnership|linkActivityCount|imageLock)\b")
SOURCE = (".h", ".cpp")
PROTOCOL = os.path.join("client", "base", "protocol.h")
TREES = ("client", "tools", "tests", "fuzz", "bench", "installer", "scripts")

# A definition with a plain literal on its right: C++ constants and macros,
# Python module constants.
CPP_DEFINITION = re.compile(r'^\s*(?:static\s+|inline\s+)*(?:constexpr|const)\b[^=(]*=\s*([^;]+);'
                            r'|^\s*#\s*define\s+\w+\s+(\S+)\s*$')
PY_DEFINITION = re.compile(r'^([A-Z][A-Z0-9_]*)\s*=\s*([^#]+?)\s*(?:#.*)?$')
LITERAL = re.compile(r'^(?:0[xX][0-9a-fA-F]+|\d+)[uU]?$|^"[^"]*"$')
EXTERN = re.compile(r"^\s*extern\s+(?!const\b)(?!\"C\")")
MAX_HEADER_GLOBALS = 10
SMALL = 0x100  # small numbers (types, head sizes, kinds) are everywhere; only the distinctive ones count


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
    for top in TREES:
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


def literal_value(text):
    """The value of a plain number or string literal, else None."""
    text = text.strip()
    if not LITERAL.match(text):
        return None
    return text[1:-1] if text.startswith('"') else int(text.rstrip("uU"), 0)


def wire_values(root):
    """Each distinctive literal value that protocol.h gives a name, with the name."""
    values = {}
    with open(os.path.join(root, PROTOCOL), encoding="utf-8") as f:
        for line in f:
            m = re.match(r'^inline constexpr [\w:]+ (\w+)(?:\[\])? = ([^;]+);', line)
            value = literal_value(m.group(2)) if m else None
            if value is not None and (isinstance(value, str) or value >= SMALL):
                values.setdefault(value, m.group(1))
    return values


def wire_constants_twice(root):
    """Constants outside protocol.h defined with the value of a wire constant."""
    values = wire_values(root)
    problems = []
    for top in TREES:
        for folder, _, files in os.walk(os.path.join(root, top)):
            for name in sorted(files):
                path = os.path.join(folder, name)
                if not name.endswith(SOURCE + (".py",)) or path.endswith(PROTOCOL):
                    continue
                pattern, comment = (PY_DEFINITION, "#") if name.endswith(".py") else (CPP_DEFINITION, "//")
                with open(path, encoding="utf-8", errors="replace") as f:
                    for number, line in enumerate(f, 1):
                        m = pattern.match(line if comment == "#" else line.split(comment, 1)[0])
                        value = literal_value(m.group(m.lastindex)) if m else None
                        if value in values:
                            shown = '"%s"' % value if isinstance(value, str) else "0x%X" % value
                            problems.append("%s:%d: defines %s again, the wire's %s (client/base/protocol.h)"
                                            % (path, number, shown, values[value]))
    return problems


def header_globals(client):
    problems, found = [], []
    for path in sources(client):
        if not path.endswith(".h"):
            continue
        with open(path, encoding="utf-8", errors="replace") as f:
            for number, line in enumerate(f, 1):
                if EXTERN.match(line):
                    found.append("%s:%d" % (path, number))
                    if os.path.relpath(path, client).split(os.sep)[0] == "link":
                        problems.append("%s:%d: a mutable global in a header of link/" % (path, number))
    if len(found) > MAX_HEADER_GLOBALS:
        problems.append("%d mutable globals declared in client headers, more than %d:\n  %s"
                        % (len(found), MAX_HEADER_GLOBALS, "\n  ".join(found)))
    return problems


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    problems = (upward_includes(os.path.join(root, "client")) + image_storage_outside(root) +
                wire_constants_twice(root) + header_globals(os.path.join(root, "client")))
    for p in problems:
        print(p)
    if problems:
        print("%d problems of layering" % len(problems))
        return 1
    print("layers: %s, no include upward; the image's storage is private; each wire constant defined once;"
          " no mutable global in link/ headers, at most %d in client headers" % (" <- ".join(LAYERS), MAX_HEADER_GLOBALS))
    return 0


if __name__ == "__main__":
    sys.exit(main())
