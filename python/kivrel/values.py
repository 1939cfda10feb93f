"""Values and signatures.

A value is an ``int`` (signed 32-bit), a ``str`` or a ``list`` of values, nested
to any depth the documents allow. A signature text such as ``"[{i}{s}{[{i}{i}]}]"``
describes a list's shape: a list is ``[`` values ``]``, a value is ``{`` item ``}``,
an item is ``i`` (integer), ``s`` (text) or a nested list. ``"?"`` stands for a
shape the grammar does not describe.
"""

from __future__ import annotations

import re
from typing import Union

__all__ = [
    "Value",
    "ValueList",
    "Shape",
    "INT_MIN",
    "INT_MAX",
    "MAX_LIST_DEPTH",
    "check_value",
    "check_list",
    "check_text",
    "parse_signature",
    "format_signature",
    "check_shape",
    "describe_signature",
    "signature_from_description",
]

Value = Union[int, str, "ValueList"]
"""One value: an integer, a text, or a nested list."""
ValueList = list[Value]
"""A list of values, as sent and received."""
Shape = list[Union[str, "Shape"]]
"""A parsed signature: one entry per value, ``"i"``, ``"s"`` or a nested shape."""

INT_MIN = -(2**31)
"""The smallest integer a value can hold."""
INT_MAX = 2**31 - 1
"""The largest integer a value can hold."""

MAX_LIST_DEPTH = 127
"""Deepest nesting of lists that a document can carry, the outermost counting 1.
The XML reader on the other side refuses documents nested deeper than 256
elements; the document root and the list holder take two, every list two more."""

_UNCARRYABLE = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ud800-\udfff\ufffe\uffff]")


def check_text(text: str, what: str = "string") -> None:
    """Raise ``ValueError`` if ``text`` cannot travel in a document.

    XML carries no NUL, no other control character except tab, line feed and
    carriage return, no lone surrogate, and neither U+FFFE nor U+FFFF.
    """
    bad = _UNCARRYABLE.search(text)
    if bad is not None:
        raise ValueError(f"{what} {text!r} holds {bad.group()!r}, which a document cannot carry")


def check_value(value: object, depth: int = 1) -> None:
    """Raise ``TypeError`` or ``ValueError`` if ``value`` cannot be sent.

    ``depth`` is the nesting level of the list that holds the value (1 for
    the outermost list).
    """
    if type(value) is int:
        if not INT_MIN <= value <= INT_MAX:
            raise ValueError(f"integer {value} lies outside the 32-bit range [{INT_MIN}, {INT_MAX}]")
    elif isinstance(value, str):
        check_text(value)
    elif isinstance(value, list):
        if not value:
            raise ValueError("an empty nested list cannot be sent")
        check_list(value, depth + 1)
    else:
        # bool is an int subclass, but True is no 32-bit integer on the wire.
        raise TypeError(f"{value!r} ({type(value).__name__}) is not an int, str or list")


def check_list(values: object, depth: int = 1) -> None:
    """Raise ``TypeError`` or ``ValueError`` unless ``values`` is a list that can
    be sent: values of the three kinds, no empty nested list, no nesting deeper
    than :data:`MAX_LIST_DEPTH`."""
    if not isinstance(values, list):
        raise TypeError(f"{values!r} ({type(values).__name__}) is not a list")
    if depth > MAX_LIST_DEPTH:
        raise ValueError(f"lists nest deeper than {MAX_LIST_DEPTH} levels")
    for value in values:
        check_value(value, depth)


def parse_signature(text: str) -> Shape | None:
    """Parse signature text into a shape; ``None`` for ``"?"`` (any shape).

    Raises ``ValueError`` for text outside the grammar, including anything
    after the closing bracket.
    """
    if text == "?":
        return None
    pos = 0

    def parse_list(depth: int) -> Shape:
        nonlocal pos
        if depth > MAX_LIST_DEPTH:
            raise ValueError(f"signature {text!r} nests deeper than {MAX_LIST_DEPTH} levels")
        if pos >= len(text) or text[pos] != "[":
            raise ValueError(f"signature {text!r}: '[' expected at {pos}")
        pos += 1
        shape: Shape = []
        while pos < len(text) and text[pos] == "{":
            pos += 1
            if pos < len(text) and text[pos] in "is":
                shape.append(text[pos])
                pos += 1
            elif pos < len(text) and text[pos] == "[":
                shape.append(parse_list(depth + 1))
            else:
                raise ValueError(f"signature {text!r}: 'i', 's' or '[' expected at {pos}")
            if pos >= len(text) or text[pos] != "}":
                raise ValueError(f"signature {text!r}: '}}' expected at {pos}")
            pos += 1
        if pos >= len(text) or text[pos] != "]":
            raise ValueError(f"signature {text!r}: '{{' or ']' expected at {pos}")
        pos += 1
        return shape

    shape = parse_list(1)
    if pos != len(text):
        raise ValueError(f"signature {text!r}: text after the closing ']'")
    return shape


def format_signature(shape: Shape) -> str:
    """The signature text of a shape (the inverse of :func:`parse_signature`)."""
    return "[" + "".join("{" + (s if isinstance(s, str) else format_signature(s)) + "}" for s in shape) + "]"


def check_shape(values: ValueList, signature: str | Shape | None) -> None:
    """Raise ``TypeError`` or ``ValueError`` unless ``values`` has the shape the
    signature describes; ``None`` or ``"?"`` accepts any list."""
    shape = parse_signature(signature) if isinstance(signature, str) else signature
    if shape is None:
        return

    def walk(vals: ValueList, shp: Shape, where: str) -> None:
        if len(vals) != len(shp):
            raise ValueError(
                f"{where}: {len(shp)} value(s) expected by {format_signature(shp)}, {len(vals)} given"
            )
        for k, (val, item) in enumerate(zip(vals, shp), start=1):
            at = f"{where} value {k}"
            if item == "i":
                if type(val) is not int:
                    raise TypeError(f"{at}: {val!r} is not an int")
            elif item == "s":
                if not isinstance(val, str):
                    raise TypeError(f"{at}: {val!r} is not a str")
            else:
                assert isinstance(item, list)
                if not isinstance(val, list):
                    raise TypeError(f"{at}: {val!r} is not a list")
                walk(val, item, at)

    walk(values, shape, "list")


def describe_signature(signature: str | None) -> Value:
    """The value by which introspection reports a signature: ``"none"`` for no
    signature, ``"undef"`` for ``"?"``, else a list naming each element's type
    (``"int"``, ``"string"``, or a nested description)."""
    if signature is None:
        return "none"
    shape = parse_signature(signature)
    if shape is None:
        return "undef"

    def names(shp: Shape) -> ValueList:
        return ["int" if s == "i" else "string" if s == "s" else names(s) for s in shp]  # type: ignore[arg-type]

    return names(shape)


def signature_from_description(description: Value) -> str | None:
    """Signature text from an introspection description: ``None`` for
    ``"none"``, ``"?"`` for ``"undef"``. Raises ``ValueError`` for anything else."""
    if description == "none":
        return None
    if description == "undef":
        return "?"
    if not isinstance(description, list):
        raise ValueError(f"{description!r} is not a signature description")

    def text(desc: ValueList) -> str:
        parts = []
        for d in desc:
            if d == "int":
                parts.append("{i}")
            elif d == "string":
                parts.append("{s}")
            elif isinstance(d, list):
                parts.append("{" + text(d) + "}")
            else:
                raise ValueError(f"{d!r} names no element type")
        return "[" + "".join(parts) + "]"

    return text(description)
