"""Documents and framing: byte for byte what the C library writes, the same
reading as the C library, and the refusals of hostile input."""

from __future__ import annotations

import random
import re
from pathlib import Path

import pytest
from conftest import list_tokens, parse_tokens

from kivrel import MessageReader, ProtocolError
from kivrel.values import INT_MAX, INT_MIN, ValueList, check_shape, parse_signature
from kivrel.wire import decode_call, decode_response, encode_call, encode_response, frame


def nested(depth: int) -> ValueList:
    """A list nested `depth` levels deep (the outermost counting 1)."""
    values: ValueList = [7]
    for _ in range(depth - 1):
        values = [values]
    return values


# Calls and responses that the two sides must write alike, or refuse alike.
CALLS: list[tuple[str, ValueList | None]] = [
    ("PowerUp", [1]),
    ("ReadBumperArray", None),
    ("VelocityControl", [-200, 200]),
    ("KIVREL_METHOD_HELP", ["KIVREL_METHOD_HELP"]),
    ("x<y>z", [0]),
    ("名前", ["値"]),
    ("Edges", [INT_MIN, INT_MAX, 0, -1]),
    ("Escapes", ["a<b>&c\"d'", "\r\n\t", "]]>", "  lead and trail  ", "&amp; stays text"]),
    ("Unicode", ["é€😀", "日本語", "\ufffd", "\U0010ffff", "\u00a0"]),
    ("Empty", ["", ["", ""], ""]),
    ("Nested", [1, "abc", [7, [8, ["deep"]]], [[[[-1]]]]]),
    ("Deepest", nested(127)),
    ("Long", ["x" * 100_000]),
    # refused by both
    ("TooDeep", nested(128)),
    ("EmptyList", []),
    ("EmptyNested", [1, []]),
    ("Control", ["a\x01b"]),
    ("Nonchar", ["\ufffe"]),
    ("Surrogate", ["\ud800"]),
]
RESPONSES: list[ValueList | None] = [
    [120, -45],
    None,
    [INT_MIN, INT_MAX],
    ["tab\there", "cr\rlf\n", "<&>"],
    [[1, 2, 3], "mixed", [["x"]]],
    nested(127),
    nested(128),
    [],
    ["bad \x1f"],
]


def python_framed(make: object) -> str:
    try:
        message = make()  # type: ignore[operator]
    except (TypeError, ValueError):
        return "refused"
    cut = message.index(b"\n") + 1
    return f"ok {message[:cut].hex()} {message[cut:].hex()}"


def test_writes_the_same_bytes_as_the_c_library(c_wire):
    requests = [
        f"call {name.encode('utf-8', 'surrogatepass').hex()} {list_tokens(args)}" for name, args in CALLS
    ]
    requests += [f"response {list_tokens(r)}" for r in RESPONSES]
    expected = c_wire(requests)
    mine = [python_framed(lambda n=n, a=a: frame(encode_call(n, a))) for n, a in CALLS]
    mine += [python_framed(lambda r=r: frame(encode_response(r))) for r in RESPONSES]
    for request, want, got in zip(requests, expected, mine):
        assert got == want, request[:120]
    # The table exercises both outcomes, and the examples' sizes hold.
    assert sum(e == "refused" for e in expected) == 9
    assert bytes.fromhex(expected[0].split()[1]) == b"KIVREL-1.1:216\n"
    assert len(bytes.fromhex(expected[len(CALLS)].split()[2])) == 239


# Documents for both readers: what each reads (or that both refuse).
DOCUMENTS = [
    b'<?xml version="1.0"?>\n<method_call><method_name>Go</method_name><method_datalist_arg/></method_call>',
    b"<method_call> <!-- c --> <method_datalist_arg>\n<datalist><data><int> 42 </int></data>"
    b"<data><int>42abc</int></data><data><int>+7</int></data><data><int>-0</int></data></datalist>"
    b"</method_datalist_arg><other/><method_name>After</method_name></method_call>",
    b"<method_call><method_name>A</method_name><method_name>B</method_name></method_call>",
    b"<method_call><method_name>N</method_name><method_datalist_arg> <x/> </method_datalist_arg></method_call>",
    b"<method_call><method_datalist_arg><datalist><data><int>1</int></data></datalist></method_datalist_arg></method_call>",
    b"<method_call><method_name></method_name></method_call>",
    b"<method_call><method_name>First</method_name><method_name><met/>x</method_name><method_name/>"
    b"<method_name><!----></method_name></method_call>",
    b'<!DOCTYPE method_call [<!ENTITY n "Go">]><method_call><method_name>&n;</method_name></method_call>',
    b"<method_call><method_name>&undeclared;</method_name></method_call>",
    b"<method_response><method_name>X</method_name></method_response>",  # as a call: wrong root
]
CALL_DOCUMENTS = len(DOCUMENTS)
DOCUMENTS += [
    b"<method_response/>",
    b'<method_response xmlns:a="urn:x"><method_datalist_ret><a:datalist><data><int>1</int></data></a:datalist>'
    b"</method_datalist_ret></method_response> <!-- after the root -->",
    b'<method_response xmlns="urn:y"><method_datalist_ret><datalist><data><int>2</int></data></datalist>'
    b"</method_datalist_ret></method_response>",
    b"<method_response><method_datalist_ret/></method_response>",
    b"<method_response><method_datalist_ret><datalist><data><string/></data>"
    b"<data><string><![CDATA[<raw>]]>tail</string></data>"
    b"<data><string>&#x41;&#66;&lt;&gt;&amp;&quot;&apos;</string></data>"
    b"<data><string>  spaced  </string></data>"
    b"<data><int>1</int><string>last wins</string></data>"
    b"<data><datalist/></data></datalist></method_datalist_ret></method_response>",
    '<?xml version="1.0" encoding="ISO-8859-1"?><method_response><method_datalist_ret><datalist>'
    "<data><string>caf\u00e9</string></data></datalist></method_datalist_ret></method_response>".encode(
        "latin-1"
    ),
    b"<method_response><method_datalist_ret><datalist><data><int>2147483648</int></data></datalist>"
    b"</method_datalist_ret></method_response>",
    b"<method_response><method_datalist_ret><datalist><data><int>-2147483649</int></data></datalist>"
    b"</method_datalist_ret></method_response>",
    b"<method_response><method_datalist_ret><datalist><data><int>x1</int></data></datalist>"
    b"</method_datalist_ret></method_response>",
    b"<method_response><method_datalist_ret><datalist><data><int/></data></datalist>"
    b"</method_datalist_ret></method_response>",
    b"<method_response><method_datalist_ret><datalist><item/></datalist></method_datalist_ret></method_response>",
    b"<method_response><method_datalist_ret><datalist><data><float>1</float></data></datalist>"
    b"</method_datalist_ret></method_response>",
    b"<method_call><method_name>X</method_name></method_call>",  # as a response: wrong root
    b"<method_response><method_datalist_ret><datalist>",  # cut off
    b"not xml at all",
    b"<method_response>\xff</method_response>",  # not UTF-8
]


def python_read(document: bytes, as_call: bool) -> str:
    try:
        if as_call:
            name, args = decode_call(document)
            return f"ok {name.encode().hex()} {list_tokens(args)}"
        return f"ok {list_tokens(decode_response(document))}"
    except ProtocolError:
        return "refused"


def c_read(answer: str, as_call: bool) -> str:
    if answer == "refused":
        return answer
    rest = answer[3:]
    if as_call:
        name_hex, _, rest = rest.partition(" ")
        values, _ = parse_tokens(rest)
        return f"ok {name_hex} {list_tokens(values)}"
    values, _ = parse_tokens(rest)
    return f"ok {list_tokens(values)}"


def depth_document(total: int) -> bytes:
    """A response whose elements nest `total` deep, the root counting 1."""
    return b"<method_response>" + b"<x>" * (total - 1) + b"</x>" * (total - 1) + b"</method_response>"


def test_reads_what_the_c_library_reads(c_wire):
    cases = [(d, i < CALL_DOCUMENTS) for i, d in enumerate(DOCUMENTS)]
    cases += [(depth_document(n), False) for n in (256, 257, 258, 300)]
    # Whatever either side writes, both read back as the list it came from.
    for name, args in CALLS[:13]:
        cases.append((encode_call(name, args), True))
    for r in RESPONSES[:6]:
        cases.append((encode_response(r), False))
    requests = [("parse-call " if call else "parse-response ") + d.hex() for d, call in cases]
    answers = c_wire(requests)
    outcomes = []
    for (document, as_call), answer in zip(cases, answers):
        want = c_read(answer, as_call)
        assert python_read(document, as_call) == want, document[:200]
        outcomes.append(want)
    assert outcomes.count("refused") == 17
    for (name, args), outcome in zip(CALLS[:13], outcomes[-19:-6]):
        assert outcome == f"ok {name.encode().hex()} {list_tokens(args)}"


def test_refuses_doctype_entities_and_excess():
    body = b"<method_response><method_datalist_ret><datalist><data><string>&x;</string></data></datalist></method_datalist_ret></method_response>"
    hostile = [
        b'<?xml version="1.0"?><!DOCTYPE method_response [<!ENTITY x "boom">]>' + body,
        b'<!DOCTYPE method_response SYSTEM "file:///etc/passwd"><method_response/>',
        b'<!DOCTYPE a [<!ENTITY a "aaaaaaaaaa"><!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;">]><method_response/>',
        body,  # an undeclared entity
        depth_document(258),
        b"<method_response>" + b"<x>" * 100_000 + b"</x>" * 100_000 + b"</method_response>",
    ]
    for document in hostile:
        with pytest.raises(ProtocolError):
            decode_response(document)
    with pytest.raises(ProtocolError, match="DOCTYPE"):
        decode_call(b"<!DOCTYPE method_call><method_call><method_name>A</method_name></method_call>")


def test_message_reader_cuts_the_stream_and_refuses_bad_headers():
    first = frame(encode_call("PowerUp", [1]))
    second = frame(encode_response([120, -45]))
    reader = MessageReader()
    got = []
    for byte in first + second + b"KIVREL-1.1:4\r\n<a/":
        reader.feed(bytes([byte]))
        body = reader.get_message()
        if body is not None:
            got.append(body)
    assert [decode_call(got[0]), decode_response(got[1])] == [("PowerUp", [1]), [120, -45]]
    assert reader.in_message and reader.get_message() is None
    reader.feed(b">")
    assert reader.get_message() == b"<a/>" and not reader.in_message

    # Leading colons, blanks after the name and before the digits are
    # accepted as the C reader accepts them; zero gives an empty body.
    for line, length in [(b"::KIVREL-1.1:: 5\n", 5), (b"KIVREL-1.1 x:+2\n", 2), (b"KIVREL-1.1:0\n", 0)]:
        reader = MessageReader()
        reader.feed(line + b"z" * length)
        assert reader.get_message() == b"z" * length

    refused = [
        b"KIVREL-1.0:5\n",
        b"kivrel-1.1:5\n",
        b"HTTP/1.1 200 OK\n",
        b"KIVREL-1.1:-1\n",
        b"KIVREL-1.1:\n",
        b"KIVREL-1.1:abc\n",
        b"KIVREL-1.1:16777217\n",
        b"KIVREL-1.1:99999999999999999999\n",
        b"K" * 1024,
        b" " * 300 + b"KIVREL-1.1:5\n",
    ]
    for data in refused:
        reader = MessageReader()
        reader.feed(data)
        with pytest.raises(ProtocolError):
            reader.get_message()
        with pytest.raises(ProtocolError):  # and stays refused
            reader.get_message()
    # The size limit is the reader's field.
    small = MessageReader(max_message_bytes=100)
    small.feed(b"KIVREL-1.1:101\n")
    with pytest.raises(ProtocolError, match="limit"):
        small.get_message()
    exact = MessageReader(max_message_bytes=16 * 1024 * 1024)
    exact.feed(b"KIVREL-1.1:16777216\n")
    assert exact.get_message() is None and exact.in_message


WIRE_CASES = Path(__file__).resolve().parents[2] / "tests" / "data" / "wire_cases.txt"
_ESCAPE = re.compile(r"\\x([0-9a-fA-F]{2})|\\(.)|\{(.)\*(\d+)\}", re.S)
_SIMPLE = {"n": "\n", "r": "\r", "t": "\t", "0": "\0"}


def _unescape(text: str) -> bytes:
    """The table's escapes: \\n \\r \\t \\0 \\\\ \\xHH, and {c*N} for c N times."""

    def one(m: re.Match[str]) -> str:
        if m.group(1):
            return chr(int(m.group(1), 16))
        if m.group(2):
            return _SIMPLE.get(m.group(2), m.group(2))
        return m.group(3) * int(m.group(4))

    return _ESCAPE.sub(one, text).encode("latin-1")


def _read(data: bytes, cut: list[int]) -> tuple[list[bytes], str]:
    reader = MessageReader(max_message_bytes=1024)
    bodies: list[bytes] = []
    at = 0
    try:
        for piece in cut:
            reader.feed(data[at : at + piece])
            at += piece
            while (body := reader.get_message()) is not None:
                bodies.append(body)
    except ProtocolError:
        with pytest.raises(ProtocolError):  # and stays refused
            reader.get_message()
        return bodies, "ERROR"
    return bodies, "MORE" if reader.in_message else "END"


def test_message_reader_gives_the_verdicts_of_the_shared_table():
    """The table the C reader's tests run too (tests/data/wire_cases.txt)."""
    cases = []
    for line in WIRE_CASES.read_text(encoding="ascii").splitlines():
        if line and not line.startswith("#"):
            name, data, *bodies, end = line.split("\t")
            cases.append((name, _unescape(data), [_unescape(b) for b in bodies], end))
    assert len(cases) > 30
    rng = random.Random(20261208)
    for name, data, bodies, end in cases:
        cuts = [[len(data)], [1] * len(data)]
        for _ in range(8):
            cut, left = [], len(data)
            while left:
                cut.append(min(left, rng.randint(1, 40)))
                left -= cut[-1]
            cuts.append(cut)
        for cut in cuts:
            assert _read(data, cut) == (bodies, end), f"{name} in {len(cut)} pieces"


def test_values_and_signatures_are_checked_before_sending():
    with pytest.raises(ValueError, match="2147483648"):
        encode_call("A", [INT_MAX + 1])
    with pytest.raises(ValueError, match="-2147483649"):
        encode_response([INT_MIN - 1])
    for bad in (1.5, True, None, b"bytes", (1, 2), {"a": 1}):
        with pytest.raises(TypeError, match=re.escape(repr(bad))):
            encode_call("A", [1, [bad]])  # type: ignore[list-item]

    # Texts the C side cannot even hold, and names no service can be called by.
    for name, args in (("A", ["a\x00b"]), ("", [1]), ("A\x00", None), (7, None)):
        with pytest.raises((TypeError, ValueError)):
            encode_call(name, args)  # type: ignore[arg-type]

    assert parse_signature("[{i}{s}{[{i}{i}]}]") == ["i", "s", ["i", "i"]]
    assert parse_signature("[]") == [] and parse_signature("?") is None
    for text in ("", "[", "[{i}", "[{x}]", "[{}]", "[{i}]x", "{i}", "[{i}{i}]]", "[ {i}]"):
        with pytest.raises(ValueError):
            parse_signature(text)
    check_shape([1, "a", [2, 3]], "[{i}{s}{[{i}{i}]}]")
    for values in ([1, "a", [2]], [1, 2, [2, 3]], ["1", "a", [2, 3]], [1, "a", [2, 3], 4], [1, "a", 5]):
        with pytest.raises((TypeError, ValueError)):
            check_shape(values, "[{i}{s}{[{i}{i}]}]")


def test_random_lists_match_the_c_library_both_ways(c_wire):
    rng = random.Random(13)
    alphabet = "ab <>&'\"\t\n\r]]>é€😀\u00a0\u2028\ufffd\x7f" + "".join(map(chr, range(0x20, 0x7F)))

    def value(depth: int) -> object:
        kind = rng.random()
        if kind < 0.4:
            return rng.choice(
                [0, -1, INT_MIN, INT_MAX, rng.randint(INT_MIN, INT_MAX), rng.randint(-999, 999)]
            )
        if kind < 0.8 or depth > 6:
            return "".join(rng.choice(alphabet) for _ in range(rng.randint(0, 12)))
        return [value(depth + 1) for _ in range(rng.randint(1, 4))]

    lists = [[value(1) for _ in range(rng.randint(1, 6))] for _ in range(300)]
    writes = c_wire([f"response {list_tokens(v)}" for v in lists])
    for values, answer in zip(lists, writes):
        assert python_framed(lambda: frame(encode_response(values))) == answer  # type: ignore[arg-type]
    reads = c_wire([f"parse-response {encode_response(v).hex()}" for v in lists])  # type: ignore[arg-type]
    for values, answer in zip(lists, reads):
        assert c_read(answer, False) == f"ok {list_tokens(values)}"  # type: ignore[arg-type]
        assert decode_response(encode_response(values)) == values  # type: ignore[arg-type]
