"""The part of a device's model library its instance reaches, read as ngspice 39 reads the files.

Includes and ``.lib`` sections are expanded in place, continuation lines joined, and of the
definitions only the ``.subckt`` blocks and ``.model`` cards reachable from the instance kept; every
parameter, function, option and global line stays. Anything this reader cannot follow with
certainty raises :class:`Unsure`, and the caller loads the full library instead.
"""

from __future__ import annotations

import hashlib
import os
import re
from dataclasses import dataclass, field
from typing import Dict, Iterator, List, Optional, Set, Tuple

from ._device import Device

__all__ = ["Unsure", "Reduction", "reduce_library"]

# Kept wherever they stand outside a subcircuit: cheap, and expressions may use any of them.
_KEPT = {".param", ".func", ".option", ".options", ".opt", ".global", ".csparam", ".temp", ".title",
         # Analysis and output lines define nothing; kept so the circuit stays the library's own.
         ".op", ".dc", ".ac", ".tran", ".noise", ".tf", ".sens", ".pz", ".disto", ".four", ".meas",
         ".measure", ".save", ".print", ".plot", ".probe", ".width", ".ic", ".nodeset"}
# Inside a subcircuit block these still change what is read, or how.
_REFUSED_IN_BLOCK = {".if", ".elseif", ".else", ".endif", ".control", ".endc", ".end", ".lib", ".endl"}
_MAX_DEPTH = 50
_TOKEN = re.compile(r"[^\s=(){},'\"]+")
# What ngspice skips before a line's first character: every byte up to the space.
_BLANK = "".join(map(chr, range(33)))


class Unsure(Exception):
    """The library holds something the reducer cannot follow with certainty.

    ``files`` and ``resolutions`` say what was read before it stopped (an edit may lift it)."""

    files: Dict[str, str] = {}
    resolutions: List[Tuple[str, str, str]] = []


@dataclass
class Reduction:
    """The reduced deck's text and what it was read from."""

    text: str
    files: Dict[str, str] = field(default_factory=dict)  # path read -> sha256 of its bytes
    # (name as written, directory it was written in, path it resolved to)
    resolutions: List[Tuple[str, str, str]] = field(default_factory=list)


def _words(line: str) -> List[str]:
    """A directive's words, quotes removed; an inline comment there is not followed."""
    if "$" in line or ";" in line or "//" in line:
        raise Unsure(f"a comment on a directive line: {line.strip()!r}")
    return line.replace('"', " ").replace("'", " ").split()


def resolve(name: str, directory: str) -> Optional[str]:
    """Where ngspice 39 finds ``name`` written in a file of ``directory``: the current directory
    first, then the file's own."""
    if name.startswith("~/"):
        name = os.path.expanduser(name)
    if os.path.isabs(name):
        return name if os.path.isfile(name) else None
    for base in (os.getcwd(), directory):
        # Not normalised: through a linked folder 'a/../b' is not where it reads.
        candidate = os.path.join(base, name)
        if os.path.isfile(candidate):
            return candidate
    return None


class _File:
    """A file read once: its physical lines and, in place, the files it includes."""

    def __init__(self) -> None:
        self.items: List[object] = []  # (line, directory) or an included _File
        self.has_lib = False  # a .lib or .endl line here or in any file it includes


class _Reader:
    def __init__(self) -> None:
        self.files: Dict[str, str] = {}
        self.resolutions: List[Tuple[str, str, str]] = []
        self._resolved: Dict[Tuple[str, str], str] = {}
        self._text: Dict[str, List[str]] = {}
        self._nodes: Dict[str, _File] = {}

    def _resolve(self, name: str, directory: str) -> str:
        key = (name, directory)
        if key not in self._resolved:
            found = resolve(name, directory)
            if found is None:
                raise Unsure(f"{name!r} not found from {directory}")
            self._resolved[key] = found
            self.resolutions.append((name, directory, found))
        return self._resolved[key]

    def _lines(self, path: str) -> List[str]:
        if path not in self._text:
            try:
                with open(path, "rb") as f:
                    data = f.read()
            except OSError as exc:
                raise Unsure(f"cannot read {path}: {exc}") from None
            self.files[path] = hashlib.sha256(data).hexdigest()
            # latin-1 maps every byte to one character, so the deck is written back byte for byte.
            self._text[path] = data.decode("latin-1").splitlines()
        return self._text[path]

    def node(self, path: str, depth: int = 0) -> _File:
        """The file with its includes read, each line with the directory that a relative name on
        it is read against: the file's own (an included file's directory as named, not resolved)."""
        if depth > _MAX_DEPTH:
            raise Unsure("includes nested too deep (a loop?)")
        if path in self._nodes:
            return self._nodes[path]
        node, directory, after_directive = _File(), os.path.dirname(path), False
        for line in self._lines(path):
            if line.startswith("@"):
                raise Unsure(f"an '@' line ends the reading of {path}")
            head = line.lstrip(_BLANK)
            lower = head[:5].lower()
            if lower[:4] == ".inc":
                if line[:1].isspace():
                    raise Unsure(f"an indented include in {path}")
                words = _words(line)
                if len(words) != 2:
                    raise Unsure(f"an include that is not one file name: {line!r}")
                child = self.node(self._resolve(words[1], directory), depth + 1)
                node.items.append(child)
                node.has_lib |= child.has_lib
                after_directive = True
                continue
            if head.startswith("+") and after_directive:
                raise Unsure(f"a continuation line after an include or .lib line in {path}")
            if head and head[0] not in "*$#":
                after_directive = lower[:4] == ".lib"
                node.has_lib |= after_directive or lower == ".endl"
            node.items.append((line, directory))
        self._nodes[path] = node
        return node

    def walk(self, node: _File) -> Iterator[Tuple[str, str]]:
        for item in node.items:
            if isinstance(item, _File):
                yield from self.walk(item)
            else:
                yield item  # type: ignore[misc]

    def section(self, name: str, section: str, directory: str, depth: int = 0) -> Iterator[Tuple[str, str]]:
        """The lines of ``.lib name section`` with the calls inside expanded."""
        if depth > _MAX_DEPTH:
            raise Unsure(".lib sections nested too deep (a loop?)")
        found = os.path.realpath(self._resolve(name, directory))
        home = os.path.dirname(found)
        # Every include of the library is read, whichever section is called, as ngspice does; the
        # lines of other sections are only passed over.
        inside = False
        for item in self.node(found).items:
            if isinstance(item, _File) and not inside:
                if item.has_lib:
                    raise Unsure(f"a section directive inside an included file of {found}")
                continue
            for line, where in self.walk(item) if isinstance(item, _File) else [item]:
                head = line.lstrip(_BLANK)
                if head[:4].lower() != ".lib" and head[:5].lower() != ".endl":
                    if inside:
                        yield line, where
                    continue
                words = _words(head)
                if words[0].lower() == ".endl":
                    if inside:
                        return
                elif words[0].lower() != ".lib":
                    raise Unsure(f"an unknown directive {words[0]!r}")
                elif len(words) == 2:
                    if inside:
                        raise Unsure(f"section {words[1]!r} defined inside section {section!r}")
                    inside = words[1].lower() == section.lower()
                elif inside:
                    if len(words) != 3:
                        raise Unsure(f"a .lib line that is not 'file section': {line!r}")
                    if where != home and resolve(words[1], where) != resolve(words[1], home):
                        # Written in an included file: which directory ngspice reads it against
                        # is not certain, and here the two give different files.
                        raise Unsure(f"{words[1]!r} in {line!r} is ambiguous")
                    yield from self.section(words[1], words[2], where, depth + 1)
        raise Unsure(f"section {section!r} of {found} not found or not closed")


@dataclass
class _Card:
    lines: List[str]  # physical lines, continuations included

    @property
    def text(self) -> str:
        return " ".join(line.lstrip(_BLANK)[1:] if i else line for i, line in enumerate(self.lines))

    def first_word(self) -> str:
        words = self.lines[0].split()
        return words[0].lower() if words else ""


def _cards(lines: Iterator[Tuple[str, str]]) -> List[_Card]:
    """Logical lines: a '+' line continues the last regular line, over comment and blank lines."""
    cards: List[_Card] = []
    for line, _ in lines:
        head = line.lstrip(_BLANK)
        if not head or head[0] in "*$#":
            continue
        if head[0] == "+":
            if not cards:
                raise Unsure("a continuation line with no line before it")
            cards[-1].lines.append(line)
        elif head[:4].lower() == ".lib":
            raise Unsure(f"a .lib line where none can stand: {line!r}")
        else:
            cards.append(_Card([line]))
    return cards


def _references(card: _Card) -> Set[str]:
    """Every word of an element line after its name: over-approximated, so nothing it uses is lost."""
    return {t.lower() for t in _TOKEN.findall(card.text)[1:]}


def _blocks(cards: List[_Card]) -> List[Tuple[str, List[_Card]]]:
    """Top-level items: ("subckt", block), ("model", [card]), ("keep", [card]) or ("element", [card])."""
    items: List[Tuple[str, List[_Card]]] = []
    i = 0
    while i < len(cards):
        card, word = cards[i], cards[i].first_word()
        if word == ".subckt":
            depth, j = 1, i + 1
            while j < len(cards) and depth:
                inner = cards[j].first_word()
                if inner in _REFUSED_IN_BLOCK:
                    raise Unsure(f"{inner} inside a subcircuit")
                depth += (inner == ".subckt") - (inner == ".ends")
                j += 1
            if depth:
                raise Unsure(f"a .subckt without .ends: {card.lines[0]!r}")
            items.append(("subckt", cards[i:j]))
            i = j
            continue
        if word == ".model":
            if len(_TOKEN.findall(card.text)) < 3:
                raise Unsure(f"a .model card it cannot read: {card.lines[0]!r}")
            items.append(("model", [card]))
        elif word in _KEPT:
            items.append(("keep", [card]))
        elif word[:1].isalpha():
            items.append(("element", [card]))
        else:
            raise Unsure(f"a line it does not know: {card.lines[0]!r}")
        i += 1
    return items


def _name(card: _Card) -> str:
    words = card.text.split()
    if len(words) < 2 or not _TOKEN.fullmatch(words[1]):
        raise Unsure(f"a definition without a plain name: {card.lines[0]!r}")
    return words[1].lower()


def _reduce(cards: List[_Card], root: str) -> List[_Card]:
    items = _blocks(cards)
    by_name: Dict[str, List[int]] = {}
    wanted: Set[str] = {root}
    for index, (kind, block) in enumerate(items):
        if kind in ("subckt", "model"):
            name = _name(block[0])
            by_name.setdefault(name, []).append(index)
            if kind == "model" and "." in name:
                # A binned card name.N answers to name.
                by_name.setdefault(name.rsplit(".", 1)[0], []).append(index)
        elif kind == "element":
            wanted |= _references(block[0])
    kept: Set[int] = set()
    todo = list(wanted)
    while todo:
        for index in by_name.get(todo.pop(), ()):
            if index in kept:
                continue
            kept.add(index)
            kind, block = items[index]
            if kind == "subckt":
                for card in block[1:]:
                    if card.first_word()[:1].isalpha():
                        new = _references(card) - wanted
                        todo.extend(new)
                        wanted |= new
    if not kept:
        raise Unsure(f"{root!r} is defined nowhere in the library")
    out: List[_Card] = []
    for index, (kind, block) in enumerate(items):
        if kind in ("keep", "element") or index in kept:
            out.extend(block)
    return out


def reduce_library(device: Device) -> Reduction:
    """The reduced deck of ``device``'s model files; :class:`Unsure` where it cannot be certain."""
    reader = _Reader()

    def lines() -> Iterator[Tuple[str, str]]:
        here = os.getcwd()
        for m in device.models:
            if m.section is None:
                yield from reader.walk(reader.node(reader._resolve(m.path, here)))
            else:
                yield from reader.section(m.path, m.section, here)

    try:
        cards = _cards(lines())
        for card in cards:
            if card.first_word() in (".if", ".elseif", ".else", ".endif"):
                raise Unsure("a conditional block")
        kept = _reduce(cards, device.model.lower())
    except Unsure as exc:
        exc.files, exc.resolutions = reader.files, reader.resolutions
        raise
    sources = ", ".join(m.netlist_line() for m in device.models)
    text = "\n".join([f"* {device.model}: the part of {sources} it reaches"]
                     + [line for card in kept for line in card.lines] + [""])
    return Reduction(text, reader.files, reader.resolutions)
