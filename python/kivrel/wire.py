"""Documents and framing: the bytes on the stream, with no socket in sight.

A message is the header line ``KIVREL-1.1:<length>\\n`` followed by exactly
``<length>`` bytes of an XML document, a method call or a method response. The
writer here gives the same bytes as the C library for the same list; the
reader refuses what the C library refuses, and is stricter where that is safe:
no DOCTYPE, no entity but the five predefined ones and character references,
bounded depth and size.

:class:`MessageReader` is fed bytes as they arrive and hands out complete
message bodies; the client and the service drive it from their sockets.
"""

from __future__ import annotations

import re
import xml.parsers.expat
from typing import NoReturn

from .errors import ProtocolError
from .values import ValueList, check_list, check_text

__all__ = [
    "PROTOCOL",
    "MAX_MESSAGE_BYTES",
    "MAX_HEADER_BYTES",
    "MAX_ELEMENT_DEPTH",
    "encode_call",
    "encode_response",
    "header_line",
    "frame",
    "parse_header_line",
    "decode_call",
    "decode_response",
    "MessageReader",
]

PROTOCOL = "KIVREL-1.1"
"""Protocol name and version at the start of every header line."""
MAX_MESSAGE_BYTES = 16 * 1024 * 1024
"""Default bound of a message body: far above any list a robot or tool sends,
and low enough that a hostile length costs little."""
MAX_HEADER_BYTES = 1024
"""Longest header line accepted, line feed included (the C reader's buffer)."""
MAX_NAME_BYTES = 255
"""Longest protocol-name field accepted in a header line."""
MAX_ELEMENT_DEPTH = 257
"""Deepest element nesting a document may have, the root counting 1: what the
C library's XML reader accepts."""
MAX_READ_LIST_DEPTH = 256
"""Deepest list nesting a received document may have, the outermost counting 1."""

_DECLARATION = '<?xml version="1.0"?>\n'

# libxml2 writes &, <, > and carriage return as references, and, with no
# encoding declared, every character beyond ASCII as a hexadecimal
# character reference.
_ESCAPES = str.maketrans({"&": "&amp;", "<": "&lt;", ">": "&gt;", "\r": "&#xD;"})
_NON_ASCII = re.compile("[^\x00-\x7f]")


def _escape(text: str) -> str:
    text = text.translate(_ESCAPES)
    if text.isascii():
        return text
    return _NON_ASCII.sub(lambda m: f"&#x{ord(m.group()):X};", text)


# libxml2 indents two spaces per level, but never more than 60 spaces.
_MAX_INDENT_LEVEL = 30


def _pad(level: int) -> str:
    return "  " * min(level, _MAX_INDENT_LEVEL)


def _dump_list(values: ValueList, level: int, out: list[str]) -> None:
    pad, inner, item = _pad(level), _pad(level + 1), _pad(level + 2)
    out.append(pad + "<datalist>\n")
    for value in values:
        out.append(inner + "<data>\n")
        if isinstance(value, int):
            out.append(f"{item}<int>{value}</int>\n")
        elif isinstance(value, str):
            out.append(f"{item}<string>{_escape(value)}</string>\n")
        else:
            _dump_list(value, level + 2, out)
        out.append(inner + "</data>\n")
    out.append(pad + "</datalist>\n")


def _document(root: str, name: str | None, holder: str, values: ValueList | None) -> bytes:
    out = [_DECLARATION, f"<{root}>\n"]
    if name is not None:
        out.append(f"  <method_name>{_escape(name)}</method_name>\n")
    if values is None:
        out.append(f"  <{holder}/>\n")
    else:
        out.append(f"  <{holder}>\n")
        _dump_list(values, 2, out)
        out.append(f"  </{holder}>\n")
    out.append(f"</{root}>\n")
    return "".join(out).encode("ascii")


def encode_call(method: str, args: ValueList | None) -> bytes:
    """The call document of ``method`` with ``args`` (``None``: no arguments).

    Raises ``TypeError`` or ``ValueError`` for a name or list that cannot be
    sent: an empty name or list, a value of another type, an integer outside
    32 bits, text a document cannot carry, nesting too deep.
    """
    if not isinstance(method, str):
        raise TypeError(f"method name {method!r} is not a str")
    if not method:
        raise ValueError("the method name is empty")
    check_text(method, "method name")
    if args is not None:
        check_list(args)
        if not args:
            raise ValueError("an empty argument list cannot be sent; call without arguments")
    return _document("method_call", method, "method_datalist_arg", args)


def encode_response(results: ValueList | None) -> bytes:
    """The response document carrying ``results`` (``None``: no result).

    Raises ``TypeError`` or ``ValueError`` as :func:`encode_call` does.
    """
    if results is not None:
        check_list(results)
        if not results:
            raise ValueError("an empty result list cannot be sent; return None for no result")
    return _document("method_response", None, "method_datalist_ret", results)


def header_line(body_length: int) -> bytes:
    """The header line announcing a body of ``body_length`` (at least 1) bytes."""
    if body_length < 1:
        raise ValueError("a message body has at least one byte")
    return f"{PROTOCOL}:{body_length}\n".encode("ascii")


def frame(document: bytes) -> bytes:
    """A whole message: the header line, then ``document``."""
    return header_line(len(document)) + document


_SPACE = b" \t\n\v\f\r"
_LENGTH = re.compile(rb"[ \t\n\v\f\r]*([+-]?)([0-9]+)")
_INT = re.compile(r"[ \t\n\v\f\r]*([+-]?)([0-9]+)")


def parse_header_line(line: bytes, max_message_bytes: int = MAX_MESSAGE_BYTES) -> int:
    """The body length a header line (line feed included or not) announces.

    The line is split at colons (leading colons skipped, a run counting as
    one); the first field's first word must be the protocol name, the second
    field begins with the decimal length. Raises :class:`ProtocolError` for a
    foreign protocol, a missing or negative length, or one above
    ``max_message_bytes``.
    """
    fields = [f for f in line.split(b":") if f]
    if len(fields) < 2:
        raise ProtocolError(f"header line {line[:64]!r} has no length")
    name_field, length_field = fields[0], fields[1]
    words = name_field.split()
    if len(name_field) > MAX_NAME_BYTES or not words or words[0] != PROTOCOL.encode():
        raise ProtocolError(f"header line {line[:64]!r} names no {PROTOCOL} message")
    m = _LENGTH.match(length_field)
    if m is None:
        raise ProtocolError(f"header line {line[:64]!r} has no length")
    length = int(m.group(2))
    if m.group(1) == b"-" and length != 0:
        raise ProtocolError(f"header line {line[:64]!r} announces a negative length")
    if length > max_message_bytes:
        raise ProtocolError(f"a message of {length} bytes exceeds the limit of {max_message_bytes}")
    return length


# ---- reading documents


class _Node:
    """One node of a parsed document: an element with children, or a text,
    CDATA, comment or processing-instruction node with its text."""

    __slots__ = ("kind", "name", "text", "children")

    def __init__(self, kind: str, name: str = "", text: str = "") -> None:
        self.kind = kind
        self.name = name
        self.text = text
        self.children: list[_Node] = []


def _refuse(message: str) -> NoReturn:
    raise ProtocolError(message)


def _parse(document: bytes) -> _Node:
    """Parse a whole document into a tree, refusing DOCTYPE, entities other than
    the predefined ones, and elements nested deeper than MAX_ELEMENT_DEPTH."""
    # With namespaces, an element is known by its local name, as the C reader
    # knows it.
    parser = xml.parsers.expat.ParserCreate(namespace_separator=" ")
    parser.SetParamEntityParsing(xml.parsers.expat.XML_PARAM_ENTITY_PARSING_NEVER)
    top = _Node("document")
    stack = [top]
    in_cdata = False

    def start(name: str, _attrs: dict[str, str]) -> None:
        if len(stack) > MAX_ELEMENT_DEPTH:
            _refuse(f"document nested deeper than {MAX_ELEMENT_DEPTH} elements")
        node = _Node("element", name.rpartition(" ")[2])
        stack[-1].children.append(node)
        stack.append(node)

    def end(_name: str) -> None:
        stack.pop()

    def characters(data: str) -> None:
        siblings = stack[-1].children
        # Adjacent text, references included, is one node; a CDATA section
        # is a node of its own.
        if siblings and siblings[-1].kind == ("cdata" if in_cdata else "text"):
            siblings[-1].text += data
        else:
            siblings.append(_Node("text", text=data))

    def start_cdata() -> None:
        nonlocal in_cdata
        in_cdata = True
        stack[-1].children.append(_Node("cdata"))

    def end_cdata() -> None:
        nonlocal in_cdata
        in_cdata = False

    def comment(data: str) -> None:
        stack[-1].children.append(_Node("comment", text=data))

    def instruction(_target: str, data: str) -> None:
        stack[-1].children.append(_Node("pi", text=data))

    def doctype(*_args: object) -> None:
        _refuse("document declares a DOCTYPE")

    def entity(*_args: object) -> None:
        _refuse("document declares an entity")

    parser.StartElementHandler = start
    parser.EndElementHandler = end
    parser.CharacterDataHandler = characters
    parser.StartCdataSectionHandler = start_cdata
    parser.EndCdataSectionHandler = end_cdata
    parser.CommentHandler = comment
    parser.ProcessingInstructionHandler = instruction
    parser.StartDoctypeDeclHandler = doctype
    parser.EntityDeclHandler = entity
    parser.SkippedEntityHandler = entity
    try:
        parser.Parse(document, True)
    except xml.parsers.expat.ExpatError as e:
        raise ProtocolError(f"document is not well-formed XML: {e}") from None
    roots = [n for n in top.children if n.kind == "element"]
    if not roots:
        _refuse("document has no root element")
    return roots[0]


def _content(node: _Node) -> str:
    if node.kind != "element":
        return node.text
    return "".join(_content(c) for c in node.children if c.kind in ("element", "text", "cdata"))


def _elements(node: _Node) -> list[_Node]:
    return [c for c in node.children if c.kind == "element"]


def _load_list(node: _Node, depth: int) -> ValueList:
    if depth > MAX_READ_LIST_DEPTH:
        _refuse(f"lists nested deeper than {MAX_READ_LIST_DEPTH}")
    values: ValueList = []
    for child in _elements(node):
        if child.name != "data":
            _refuse(f"<{child.name}> where <data> belongs")
        value: int | str | ValueList | None = None
        # Several value elements: the last one counts, as in the C reader.
        for element in _elements(child):
            if element.name == "int":
                value = _load_int(element)
            elif element.name == "string":
                value = _content(element.children[0]) if element.children else ""
            elif element.name == "datalist":
                value = _load_list(element, depth + 1)
            else:
                _refuse(f"<{element.name}> where a value belongs")
        if value is None:
            _refuse("<data> without a value")
        values.append(value)
    return values


def _load_int(element: _Node) -> int:
    if not element.children:
        _refuse("<int> without digits")
    text = _content(element.children[0])
    m = _INT.match(text)
    if m is None:
        _refuse(f"<int> holds {text[:32]!r}, no decimal number")
    number = int(m.group(2))
    if m.group(1) == "-":
        number = -number
    if not -(2**31) <= number < 2**31:
        _refuse(f"<int> {number} lies outside 32 bits")
    return number


def _first_list(holder: _Node) -> ValueList | None:
    for element in _elements(holder):
        if element.name == "datalist":
            return _load_list(element, 1)
    return None


def decode_call(document: bytes) -> tuple[str, ValueList | None]:
    """The method name and argument list (``None``: no arguments) of a call
    document. Raises :class:`ProtocolError` for anything that is not a call."""
    root = _parse(document)
    if root.name != "method_call":
        _refuse(f"<{root.name}> where <method_call> belongs")
    name: str | None = None
    args: ValueList | None = None
    # Any order; a later name or argument list replaces an earlier one.
    for child in _elements(root):
        if not child.children:
            continue
        if child.name == "method_name":
            name = _content(child.children[0])
        elif child.name == "method_datalist_arg":
            found = _first_list(child)
            if found is not None:
                args = found
    if name is None:
        _refuse("call names no method")
    return name, args


def decode_response(document: bytes) -> ValueList | None:
    """The result list of a response document (``None``: no result). Raises
    :class:`ProtocolError` for anything that is not a response."""
    root = _parse(document)
    if root.name != "method_response":
        _refuse(f"<{root.name}> where <method_response> belongs")
    for child in _elements(root):
        if child.name == "method_datalist_ret":
            return _first_list(child)
    return None


class MessageReader:
    """Cuts a byte stream into message bodies.

    Feed it what arrives with :meth:`feed` and ask for complete bodies with
    :meth:`get_message`. It does no I/O. The limits are fields, settable per
    reader. After a :class:`ProtocolError` the stream position is lost, and
    the reader refuses all further use.
    """

    def __init__(
        self, *, max_message_bytes: int = MAX_MESSAGE_BYTES, max_header_bytes: int = MAX_HEADER_BYTES
    ) -> None:
        """A reader with the given limits (defaults: 16 MiB body, 1024-byte line)."""
        self.max_message_bytes = max_message_bytes
        """Largest body length a header may announce."""
        self.max_header_bytes = max_header_bytes
        """Longest header line, line feed included."""
        self._buffer = bytearray()
        self._body_length: int | None = None
        self._failed: ProtocolError | None = None

    @property
    def in_message(self) -> bool:
        """True while part of a message has arrived but not all of it."""
        return bool(self._buffer) or self._body_length is not None

    def feed(self, data: bytes) -> None:
        """Append bytes received from the stream."""
        self._buffer += data

    def get_message(self) -> bytes | None:
        """The next complete body, or ``None`` until more bytes are fed.

        Raises :class:`ProtocolError` for a header line that is too long, names
        another protocol, or announces a negative or oversized length.
        """
        if self._failed is not None:
            raise self._failed
        try:
            if self._body_length is None:
                end = self._buffer.find(b"\n", 0, self.max_header_bytes)
                if end < 0:
                    if len(self._buffer) >= self.max_header_bytes:
                        _refuse(f"header line longer than {self.max_header_bytes} bytes")
                    return None
                line = bytes(self._buffer[: end + 1])
                del self._buffer[: end + 1]
                self._body_length = parse_header_line(line, self.max_message_bytes)
            if len(self._buffer) < self._body_length:
                return None
            body = bytes(self._buffer[: self._body_length])
            del self._buffer[: self._body_length]
            self._body_length = None
            return body
        except ProtocolError as e:
            self._failed = e
            raise
