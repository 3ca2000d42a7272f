#!/usr/bin/env python3
"""Rejects an #include that runs against the order of the layers.

Every folder under src/ whose CMakeLists.txt adds a library is a layer
(src/optimizer/engine, src/optimizer/mod and src/optimizer/incremental are
layers of their own). A file may include the headers of its own layer and
those of the layers its layer's library links to, directly or through
another one; the links are read from the same CMakeLists.txt files, so the
order is declared once, by the build. Also rejected: links that form a
cycle, a link to a project library that does not exist, a source file that
lies in no layer, and an include that names no file under src/.

Usage: check_layers.py [SRC_DIR]   (SRC_DIR defaults to the project's src/)
Prints one line per fault and exits with status 1 when there is any.
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

# Libraries of the project are named quorvel_*; anything else a layer links
# to (threads, the Python library) lies outside src/.
PROJECT_PREFIX = "quorvel_"
LIBRARY_COMMANDS = {"add_library", "python_add_library"}
LINK_KEYWORDS = {"PUBLIC", "PRIVATE", "INTERFACE"}
SOURCE_SUFFIXES = {".cpp", ".cc", ".hpp", ".h", ".inc"}

COMMAND = re.compile(r"([A-Za-z_][A-Za-z0-9_]*)\s*\(([^()]*)\)")
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.MULTILINE)


class Layers:
    """The layers of a source tree: their folders and their links."""

    def __init__(self) -> None:
        self.folder_of: dict[str, str] = {}  # library -> folder relative to src
        self.links: dict[str, list[str]] = {}  # library -> project libraries it links to
        self.faults: list[str] = []

    def library_of_folder(self, folder: str) -> str | None:
        for library, own in self.folder_of.items():
            if own == folder:
                return library
        return None

    def layer_of(self, relative: str) -> str | None:
        """The library whose folder holds the file: the longest folder that is a prefix."""
        best = None
        for library, folder in self.folder_of.items():
            if relative.startswith(folder + "/") and (best is None or len(folder) > len(self.folder_of[best])):
                best = library
        return best

    def below(self, library: str) -> set[str]:
        """Every library reachable through links from library (itself excluded unless in a cycle)."""
        seen: set[str] = set()
        stack = list(self.links.get(library, []))
        while stack:
            current = stack.pop()
            if current in seen:
                continue
            seen.add(current)
            stack.extend(self.links.get(current, []))
        return seen


def strip_comments(text: str) -> str:
    return "\n".join(line.split("#", 1)[0] for line in text.splitlines())


def read_layers(src: Path) -> Layers:
    layers = Layers()
    link_lines: list[tuple[str, str, list[str]]] = []  # (file, target, items)
    for cmake in sorted(src.rglob("CMakeLists.txt")):
        folder = cmake.parent.relative_to(src).as_posix()
        where = cmake.relative_to(src.parent).as_posix()
        for name, args in COMMAND.findall(strip_comments(cmake.read_text(encoding="utf-8"))):
            words = args.split()
            if not words:
                continue
            command = name.lower()
            if command in LIBRARY_COMMANDS:
                library = words[0]
                if folder == ".":
                    layers.faults.append(f"{where}: library {library} lies outside every layer folder")
                elif layers.library_of_folder(folder) is not None:
                    layers.faults.append(f"{where}: a second library {library} in layer {folder}")
                elif library in layers.folder_of:
                    layers.faults.append(f"{where}: library {library} is declared twice")
                else:
                    layers.folder_of[library] = folder
                    layers.links.setdefault(library, [])
            elif command == "target_link_libraries":
                link_lines.append((where, words[0], [w for w in words[1:] if w not in LINK_KEYWORDS]))
    for where, target, items in link_lines:
        if target not in layers.folder_of:
            continue
        for item in items:
            if item in layers.folder_of:
                layers.links[target].append(item)
            elif item.startswith(PROJECT_PREFIX):
                layers.faults.append(f"{where}: {target} links to {item}, which no layer declares")
    for library in sorted(layers.folder_of):
        if library in layers.below(library):
            layers.faults.append(f"layer {layers.folder_of[library]} links to itself through a cycle")
    return layers


def resolve(src: Path, including: Path, name: str) -> Path | None:
    """The file a quoted include names: next to the including file first, then under src."""
    for base in (including.parent, src):
        candidate = base / name
        if candidate.is_file():
            return candidate.resolve()
    return None


def check(src: Path) -> list[str]:
    src = src.resolve()
    layers = read_layers(src)
    faults = list(layers.faults)
    if not layers.folder_of:
        return faults + [f"{src}: no CMakeLists.txt under it declares a library"]
    for path in sorted(p for p in src.rglob("*") if p.suffix in SOURCE_SUFFIXES and p.is_file()):
        relative = path.relative_to(src).as_posix()
        own = layers.layer_of(relative)
        if own is None:
            faults.append(f"src/{relative}: lies in no layer")
            continue
        allowed = layers.below(own) | {own}
        text = path.read_text(encoding="utf-8", errors="replace")
        for match in INCLUDE.finditer(text):
            name = match.group(1)
            line = text.count("\n", 0, match.start()) + 1
            target = resolve(src, path, name)
            if target is None or src not in target.parents:
                faults.append(f"src/{relative}:{line}: includes \"{name}\", which is no file under src/")
                continue
            theirs = layers.layer_of(target.relative_to(src).as_posix())
            if theirs is None:
                faults.append(f"src/{relative}:{line}: includes \"{name}\", which lies in no layer")
            elif theirs not in allowed:
                faults.append(
                    f"src/{relative}:{line}: includes \"{name}\" of layer {layers.folder_of[theirs]}, "
                    f"which layer {layers.folder_of[own]} does not link to"
                )
    return faults


def main(argv: list[str]) -> int:
    if len(argv) > 2:
        print("usage: check_layers.py [SRC_DIR]", file=sys.stderr)
        return 2
    src = Path(argv[1]) if len(argv) == 2 else Path(__file__).resolve().parent.parent / "src"
    if not src.is_dir():
        print(f"{src}: not a folder", file=sys.stderr)
        return 2
    faults = check(src)
    for fault in faults:
        print(fault)
    if faults:
        print(f"{len(faults)} fault(s) against the layer order", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
