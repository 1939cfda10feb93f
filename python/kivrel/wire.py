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
MAX_HEADER_BYTES = 1023
"""Longest header line read, line feed included (the C reader's buffer of 1024
bytes holds it and a NUL). A line that reaches it without a line feed is those
bytes, and what follows them is the body."""
MAX_NAME_BYTES = 255
"""Longest protocol-name field (the text before the first colon) in a header line."""
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
    field begins with the decimal length, and further fields are ignored. A NUL
    byte ends the text that is read, as it ends a C string. Raises
    :class:`ProtocolError` for a foreign protocol, a missing or negative length,
    or one above ``max_message_bytes``.
    """
    line = line.split(b"\0", 1)[0]
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
#
# The reader follows the C reader's rules (elements it does not know are
# passed over, a later name or argument list replaces an earlier one, the
# first child node of <method_name>, <int> and <string> holds the text) but
# reads as the parser goes: values are built at once, subtrees that cannot
# matter are skipped unstored, and a misplaced element refuses the document
# on the spot. No tree of the document is ever held.

_NONE, _TEXT, _CDATA, _ELEMENT, _DONE = range(5)


class _Frame:
    """One open element the reader cares about."""

    __slots__ = ("kind", "level", "values", "value", "found", "state", "inner", "parts")

    def __init__(self, kind: str, level: int = 0) -> None:
        self.kind = kind
        self.level = level  # list nesting, for "datalist"
        self.values: ValueList = []
        self.value: int | str | ValueList | None = None
        self.found = False
        # For "name", "int" and "string": what the first child node is, and
        # its text so far.
        self.state = _NONE
        self.inner = 0
        self.parts: list[str] = []


def _refuse(message: str) -> NoReturn:
    raise ProtocolError(message)


def _parse_int(text: str) -> int:
    m = _INT.match(text)
    if m is None:
        _refuse(f"<int> holds {text[:32]!r}, no decimal number")
    number = int(m.group(2))
    if m.group(1) == "-":
        number = -number
    if not -(2**31) <= number < 2**31:
        _refuse(f"<int> {number} lies outside 32 bits")
    return number


class _DocumentReader:
    """Reads one call or response document into a name and a list."""

    def __init__(self, root: str) -> None:
        self.root = root
        self.name: str | None = None
        self.values: ValueList | None = None
        self.depth = 0
        self.skip_from = 0  # depth of the outermost element being skipped, 0 when none
        self.stack: list[_Frame] = []
        self.seen_root = False

    def start(self, qualified: str, _attrs: object) -> None:
        self.depth += 1
        if self.depth > MAX_ELEMENT_DEPTH:
            _refuse(f"document nested deeper than {MAX_ELEMENT_DEPTH} elements")
        if self.skip_from:
            return
        # With namespaces, an element is known by its local name, as the C
        # reader knows it.
        name = qualified.rpartition(" ")[2]
        if not self.stack:
            if self.seen_root or name != self.root:
                _refuse(f"<{name}> where <{self.root}> belongs")
            self.seen_root = True
            self.stack.append(_Frame("root"))
            return
        top = self.stack[-1]
        kind = top.kind
        if kind in ("name", "int", "string"):
            # The first child is an element: all the text inside it counts.
            if top.state == _NONE:
                top.state, top.inner = _ELEMENT, 1
            elif top.state == _ELEMENT:
                top.inner += 1
            else:
                top.state = _DONE
                self.skip_from = self.depth
        elif kind == "root":
            if self.root == "method_call" and name == "method_name":
                self.stack.append(_Frame("name"))
            elif name == ("method_datalist_arg" if self.root == "method_call" else "method_datalist_ret"):
                if self.root == "method_response" and top.found:
                    self.skip_from = self.depth  # only the first holder counts
                else:
                    top.found = True
                    self.stack.append(_Frame("holder"))
            else:
                self.skip_from = self.depth
        elif kind == "holder":
            if name == "datalist" and not top.found:
                top.found = True
                self.stack.append(_Frame("datalist", 1))
            else:
                self.skip_from = self.depth
        elif kind == "datalist":
            if name != "data":
                _refuse(f"<{name}> where <data> belongs")
            self.stack.append(_Frame("data", top.level))
        else:  # data
            if name in ("int", "string"):
                self.stack.append(_Frame(name))
            elif name == "datalist":
                if top.level >= MAX_READ_LIST_DEPTH:
                    _refuse(f"lists nested deeper than {MAX_READ_LIST_DEPTH}")
                self.stack.append(_Frame("datalist", top.level + 1))
            else:
                _refuse(f"<{name}> where a value belongs")

    def end(self, _name: str) -> None:
        depth = self.depth
        self.depth -= 1
        if self.skip_from:
            if depth == self.skip_from:
                self.skip_from = 0
            return
        frame = self.stack[-1]
        if frame.state == _ELEMENT:
            frame.inner -= 1
            if frame.inner == 0:
                frame.state = _DONE
            return
        self.stack.pop()
        parent = self.stack[-1] if self.stack else None
        kind = frame.kind
        if kind == "name":
            # A <method_name> without text names nothing and replaces nothing.
            text = "".join(frame.parts)
            if text:
                self.name = text
        elif kind == "int":
            if frame.state == _NONE:
                _refuse("<int> without digits")
            assert parent is not None
            parent.value = _parse_int("".join(frame.parts))
        elif kind == "string":
            assert parent is not None
            parent.value = "".join(frame.parts)
        elif kind == "datalist":
            assert parent is not None  # a <data> or the holder
            parent.value = frame.values
        elif kind == "data":
            if frame.value is None:
                _refuse("<data> without a value")
            assert parent is not None
            parent.values.append(frame.value)
        elif kind == "holder":
            if frame.value is not None:
                self.values = frame.value  # type: ignore[assignment]

    def characters(self, data: str) -> None:
        if self.skip_from or not self.stack:
            return
        frame = self.stack[-1]
        if frame.kind not in ("name", "int", "string"):
            return
        if frame.state == _NONE:
            frame.state = _TEXT
        if frame.state in (_TEXT, _CDATA, _ELEMENT):
            frame.parts.append(data)

    def start_cdata(self) -> None:
        frame = self._capturing()
        if frame is None:
            return
        if frame.state == _NONE:
            frame.state = _CDATA
        elif frame.state == _TEXT:
            frame.state = _DONE

    def end_cdata(self) -> None:
        frame = self._capturing()
        if frame is not None and frame.state == _CDATA:
            frame.state = _DONE

    def other(self, text: str) -> None:
        """A comment or processing instruction: the text, if it comes first."""
        frame = self._capturing()
        if frame is None:
            return
        if frame.state == _NONE:
            frame.state = _DONE
            frame.parts.append(text)
        elif frame.state == _TEXT:
            frame.state = _DONE

    def _capturing(self) -> _Frame | None:
        if self.skip_from or not self.stack:
            return None
        frame = self.stack[-1]
        return frame if frame.kind in ("name", "int", "string") else None


def _read(document: bytes, root: str) -> _DocumentReader:
    """Parse a whole document with the reader, refusing DOCTYPE, entities
    other than the predefined ones, and elements nested too deep."""
    reader = _DocumentReader(root)
    parser = xml.parsers.expat.ParserCreate(namespace_separator=" ")
    parser.SetParamEntityParsing(xml.parsers.expat.XML_PARAM_ENTITY_PARSING_NEVER)
    parser.buffer_text = True
    parser.buffer_size = 1 << 16

    def doctype(*_args: object) -> None:
        _refuse("document declares a DOCTYPE")

    def entity(*_args: object) -> None:
        _refuse("document declares an entity")

    parser.StartElementHandler = reader.start
    parser.EndElementHandler = reader.end
    parser.CharacterDataHandler = reader.characters
    parser.StartCdataSectionHandler = reader.start_cdata
    parser.EndCdataSectionHandler = reader.end_cdata
    parser.CommentHandler = reader.other
    parser.ProcessingInstructionHandler = lambda _target, data: reader.other(data)
    parser.StartDoctypeDeclHandler = doctype
    parser.EntityDeclHandler = entity
    parser.SkippedEntityHandler = entity
    try:
        parser.Parse(document, True)
    except xml.parsers.expat.ExpatError as e:
        raise ProtocolError(f"document is not well-formed XML: {e}") from None
    return reader


def decode_call(document: bytes) -> tuple[str, ValueList | None]:
    """The method name and argument list (``None``: no arguments) of a call
    document. Raises :class:`ProtocolError` for anything that is not a call."""
    reader = _read(document, "method_call")
    if reader.name is None:
        _refuse("call names no method")
    return reader.name, reader.values


def decode_response(document: bytes) -> ValueList | None:
    """The result list of a response document (``None``: no result). Raises
    :class:`ProtocolError` for anything that is not a response."""
    return _read(document, "method_response").values


class MessageReader:
    """Cuts a byte stream into message bodies.

    Feed it what arrives with :meth:`feed` and ask for complete bodies with
    :meth:`get_message`. It does no I/O. The limits are fields, settable per
    reader. The rules are the C library's (``kivrel_reader``): a header line
    ends at its first line feed within ``max_header_bytes`` bytes, or is those
    bytes when none comes; a body holding a NUL byte is refused. After a
    :class:`ProtocolError` the stream position is lost, and the reader refuses
    all further use.
    """

    def __init__(
        self, *, max_message_bytes: int = MAX_MESSAGE_BYTES, max_header_bytes: int = MAX_HEADER_BYTES
    ) -> None:
        """A reader with the given limits (defaults: 16 MiB body, 1023-byte line)."""
        self.max_message_bytes = max_message_bytes
        """Largest body length a header may announce."""
        self.max_header_bytes = max_header_bytes
        """Longest header line, line feed included."""
        self._buffer = bytearray()
        self._body_length: int | None = None
        self._scanned = 0  # body bytes already searched for a NUL
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

        Raises :class:`ProtocolError` for a header line that names another
        protocol or announces a negative or oversized length (as soon as the
        line is whole), and for a body that holds a NUL byte (as soon as it
        arrives).
        """
        if self._failed is not None:
            raise self._failed
        try:
            if self._body_length is None:
                end = self._buffer.find(b"\n", 0, self.max_header_bytes)
                if end >= 0:
                    line_length = end + 1
                elif len(self._buffer) >= self.max_header_bytes:
                    line_length = self.max_header_bytes  # the rest is the body
                else:
                    return None
                line = bytes(self._buffer[:line_length])
                del self._buffer[:line_length]
                self._body_length = parse_header_line(line, self.max_message_bytes)
                self._scanned = 0
            have = min(len(self._buffer), self._body_length)
            if have > self._scanned:
                if self._buffer.find(b"\0", self._scanned, have) >= 0:
                    _refuse("message body holds a NUL byte")
                self._scanned = have
            if len(self._buffer) < self._body_length:
                return None
            body = bytes(self._buffer[: self._body_length])
            del self._buffer[: self._body_length]
            self._body_length = None
            return body
        except ProtocolError as e:
            self._failed = e
            raise
