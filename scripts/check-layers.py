#!/usr/bin/env python3
"""Refuses an include against the layers.

Each top-level folder of the program is a layer and a library. A source file
may include headers of its own folder and of the layers listed for it below,
nothing else of the program. The list mirrors the libraries' link
dependencies; a new arrow is added here and in the folder's CMakeLists.txt
together.

app/, tests/, bench/ and fuzz/ may include any layer.

Usage: check-layers.py [SOURCE_ROOT]   (exit 1 and one line per fault)
"""
import pathlib
import re
import sys

# layer -> the layers it may include (besides itself)
ALLOWED = {
    "platform": set(),
    "core": {"platform"},
    "message": {"core", "platform"},
    "archive": {"core", "platform"},
    "config": {"message", "core", "platform"},
    "main": {"config", "message", "core", "platform"},
    "transport": {"message", "core", "platform"},
    "exchange": {"transport", "main", "config", "archive", "message", "core", "platform"},
    "resources": set(),
    "ui": {"ui/dialogs", "exchange", "transport", "main", "config", "archive", "message", "core", "platform", "resources"},
}
# The dialogs sit below the window: they never reach the exchange or the mail sessions.
SUBLAYERS = {
    "ui/dialogs": {"ui/dialogs", "main", "config", "message", "core", "platform", "resources"},
}
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def allowed_for(rel):
    for sub, allowed in SUBLAYERS.items():
        if rel.startswith(sub + "/"):
            return sub, allowed
    layer = rel.split("/", 1)[0]
    if layer not in ALLOWED:
        return None, None
    return layer, ALLOWED[layer] | {layer}


def target_of(include):
    for sub in SUBLAYERS:
        if include.startswith(sub + "/"):
            return sub
    head = include.split("/", 1)[0]
    return head if head in ALLOWED else None


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parent.parent)
    faults = []
    paths = sorted(p for layer in ALLOWED for p in (root / layer).rglob("*") if p.suffix in (".h", ".cpp"))
    for path in paths:
        rel = path.relative_to(root).as_posix()
        layer, allowed = allowed_for(rel)
        for number, line in enumerate(path.read_text(encoding="utf-8", errors="replace").splitlines(), 1):
            m = INCLUDE.match(line)
            if not m:
                continue
            target = target_of(m.group(1))
            if target is not None and target not in allowed:
                faults.append(f"{rel}:{number}: the {layer} layer includes {m.group(1)} of the {target} layer above it")
    for fault in faults:
        print(fault)
    if not faults:
        print("layers: every include goes down")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
