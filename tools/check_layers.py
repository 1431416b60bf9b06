#!/usr/bin/env python3
"""Fails when a source file includes a header from a higher layer.

Folders are layers, lowest first; a file may include headers of its own
folder and of lower layers only. Folders beside the layers (the virtual
piano, tools, tests, benchmarks, fuzzing) say below what they may use.
"""
import os
import re
import sys

# Folder -> layer; the same number means the same layer.
LAYERS = {
    "platform": 0,
    "core": 1,
    "midi": 2,
    "device": 3,
    "update": 4,
    "settings": 4,
    "controller": 5,
    "ui": 6,
    "main": 6,
    "app": 7,
    "cli": 7,
}
# Folders beside the layers: the highest layer each may include from.
BESIDE = {
    "virtual-piano": 4,  # the emulated instrument uses the codec and the image builder
    "tools": 4,
    "tests": 99,
    "bench": 99,
    "fuzz": 99,
}
# Beside folders that layers above them may include (the app and the command
# line tool offer the in-process instrument as a port source).
BESIDE_USERS = {"virtual-piano": 7}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"/]+)/[^"]+"', re.M)


def check(root):
    problems = []
    for folder in list(LAYERS) + list(BESIDE):
        base = os.path.join(root, folder)
        if not os.path.isdir(base):
            continue
        for dirpath, _, files in os.walk(base):
            for name in files:
                if not name.endswith((".h", ".cpp")):
                    continue
                path = os.path.join(dirpath, name)
                with open(path, encoding="utf-8", errors="replace") as f:
                    text = f.read()
                own = LAYERS.get(folder, BESIDE.get(folder))
                for target in INCLUDE.findall(text):
                    if target == folder:
                        continue
                    if target in LAYERS:
                        allowed = LAYERS[target] <= own
                    elif target in BESIDE_USERS:
                        allowed = folder in BESIDE or own >= BESIDE_USERS[target]
                    else:
                        continue  # a library's own path, not a layer
                    if not allowed:
                        problems.append("%s includes %s/..." % (os.path.relpath(path, root), target))
    return problems


if __name__ == "__main__":
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    found = check(root)
    for p in found:
        print("layer violation: " + p)
    sys.exit(1 if found else 0)
