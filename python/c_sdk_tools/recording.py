"""Session recordings at the SDK boundary: read them, record a command, replay one.

    c-sdk-record record --sdk /path/to/vendor/libvqsdk.so -o session.vqrec -- python strategy.py
    c-sdk-record replay session.vqrec -- python strategy.py
    c-sdk-record dump session.vqrec [--calls 5-9] [--event 57] [--function NAME] [--no-events]
    c-sdk-record stats session.vqrec [--json] [--calls 5-9] [--function NAME]
    c-sdk-record report session.vqrec -o report.html

(`python -m c_sdk_tools.recording` is the same command.) `record` and `replay` run the command
with this package's libvqsdk.so (the recorder) in front of the module's SDK library through
LD_LIBRARY_PATH; docs/recording.md describes the file format, the environment variables and the
exit statuses.
"""

from __future__ import annotations

import argparse
import ast
import difflib
import hashlib
import importlib.util
import os
import re
import stat
import struct
import sys
import tempfile
from dataclasses import dataclass, field
from typing import Iterable, Iterator

__all__ = ["Recording", "Record", "RecordingError", "read", "from_bytes", "stream", "dump_lines", "stats",
           "library_dir", "main", "SECRET", "OUT", "POINTER", "VOID", "NOT_RECORDED"]

MAGIC = b"VQSDKREC"
VERSION = 2  # the version the recorder writes: version 1 and the end of each event's delivery (H)
OLDEST_VERSION = 1  # the oldest version read
DIVERGED_STATUS = 86  # the replayed session called something else than the recording
UNREADABLE_STATUS = 85  # the replay library could not read the session file
USAGE_STATUS = 2  # a command line, or a session file, the command cannot use
_SECRETS_RECORDED = 1
_HEAD = struct.Struct("<cIQIHB")  # kind, size, time (ns), thread, function, value count
_NO_FUNCTION = 0xFFFF
_INT_MIN, _INT_MAX = -(2**31), 2**31 - 1  # a response length or an event's len is a C int
KINDS = {b"C": "call", b"R": "return", b"E": "event", b"Z": "end", b"H": "handled"}
_KINDS_1 = {k: v for k, v in KINDS.items() if k != b"H"}  # the kinds of a version 1 file


class _Marker:
    def __init__(self, name: str):
        self._name = name

    def __repr__(self) -> str:
        return self._name


SECRET = _Marker("<secret>")  # a secret not recorded
OUT = _Marker("<out>")  # a non-null out-parameter
POINTER = _Marker("<pointer>")  # a non-null reserved pointer or callback
VOID = _Marker("<void>")  # no return value
NOT_RECORDED = _Marker("<not recorded>")  # an out-parameter of a call that did not succeed (never read)


class RecordingError(Exception):
    """A file that is not a readable session recording."""


@dataclass
class Record:
    kind: str  # "call", "return", "event", "handled" (the event's handler returned: version 2) or "end"
    offset: int  # byte offset in the file
    time_ns: int  # since the recording started
    thread: int  # 1, 2, ... in the order the threads first appear
    function: str | None  # calls and returns
    values: tuple  # call: the arguments; return: the return value, then the out-parameters;
    #                event: (topic, len, payload); handled: (its event's topic, ns since its event)
    depth: int = 0  # calls in progress on the thread around this record
    call: int = 0  # calls and returns: the call's number (1, 2, ... in file order)


@dataclass
class Recording:
    path: str
    version: int
    secrets_recorded: bool
    pid: int
    started_ns: int  # wall clock, ns since the epoch
    functions: list[str]
    records: list[Record] = field(default_factory=list)
    complete: bool = False  # ends with its end record
    end_note: str = ""  # where and how the file ends, when it is not complete

    def calls(self) -> list[tuple[str | None, tuple]]:
        return [(r.function, r.values) for r in self.records if r.kind == "call"]

    def events(self) -> list[tuple]:
        return [r.values for r in self.records if r.kind == "event"]


_MARKERS = {ord("n"): None, ord("s"): SECRET, ord("o"): OUT, ord("p"): POINTER, ord("v"): VOID}
_U32, _I64, _F64 = struct.Struct("<I"), struct.Struct("<q"), struct.Struct("<d")
_B, _T, _I, _F, _BOOL = b"btif?"


def _value(blob: bytes, pos: int, end: int, where: int):
    # the tags by their byte's value: this runs for every value of every record
    if pos >= end:
        raise struct.error("past the end")
    tag = blob[pos]
    pos += 1
    if tag == _B or tag == _T:
        if pos + 4 > end:
            raise struct.error("past the end")
        stop = pos + 4 + _U32.unpack_from(blob, pos)[0]
        if stop > end:
            raise struct.error("past the end")
        data = blob[pos + 4 : stop]
        if tag == _B:
            return data, stop
        if b"\0" in data:  # a text is recorded up to its NUL
            raise struct.error("a NUL inside a text")
        return data.decode("utf-8", "surrogateescape"), stop
    if tag == _I or tag == _F:
        if pos + 8 > end:
            raise struct.error("past the end")
        return (_I64 if tag == _I else _F64).unpack_from(blob, pos)[0], pos + 8
    if tag in _MARKERS:
        return _MARKERS[tag], pos
    if tag == _BOOL:
        if pos + 1 > end:
            raise struct.error("past the end")
        return bool(blob[pos]), pos + 1
    raise RecordingError(f"corrupt record at byte {where}: unknown value tag {bytes([tag])!r}")


def _is_int(v) -> bool:
    return type(v) is int


def _fits(length, data) -> bool:
    """A length as the SDK's caller receives it (a C int) that the recorded bytes hold: it
    reads that many (nothing when it is 0 or less, or when there are no bytes)."""
    if not _is_int(length) or not _INT_MIN <= length <= _INT_MAX:
        return False
    return not isinstance(data, bytes) or length <= len(data)


def _shape_error(kind: bytes, values: list) -> str:
    """Why the values of a record do not fit its kind, or ""."""
    if kind == b"E":
        if len(values) != 3:
            return "an event of " + str(len(values)) + " values"
        topic, length, payload = values
        if not (topic is None or isinstance(topic, str)) or not (payload is None or isinstance(payload, bytes)):
            return "an event of other values"
        if not _fits(length, payload):
            return "an event's len that is not an int its payload holds"
    elif kind == b"H":
        if values:
            return "a handler's end of " + str(len(values)) + " values"
    elif kind == b"R":
        if not 1 <= len(values) <= 4:
            return "a return of " + str(len(values)) + " values"
        # a query's results: the response, then its length
        if len(values) >= 3 and (values[1] is None or isinstance(values[1], bytes)) and _is_int(values[2]):
            if not _fits(values[2], values[1]):
                return "a response length that is not an int its bytes hold"
    return ""


_SIZE_PAST_THE_END = "its size runs past the end of the file, its values do not"


def _values_end_before(blob: bytes, pos: int, count: int) -> bool:
    """Whether the `count` values of the record at `pos`, whose size runs past the end of the
    file, all lie before that end: then the size is corrupt, not the file cut inside the record
    (the values of a record cut short run past the end as its size does)."""
    at = pos + _HEAD.size
    try:
        for _ in range(count):
            _, at = _value(blob, at, len(blob), pos)
    except (struct.error, IndexError, RecordingError):
        return False
    return True


def read(path: str | os.PathLike) -> Recording:
    """Reads a session file. A file cut short (a crash, a full disk) reads up to its last whole
    record, with `complete` False and `end_note` saying where it ends; anything else that is not
    a recording of a version this reader reads raises RecordingError. Every length and count in
    the file is checked against the bytes that hold it and, where the SDK's caller receives it,
    in the type it receives it as, as the replay library checks them."""
    path = os.fspath(path)
    with _open_regular(path) as f:
        return from_bytes(f.read(), path)


def _open_regular(path: str):
    """The regular file at `path`, opened to be read; anything else (a pipe, a device, a
    directory) is refused before a byte is read: /dev/zero never ends and a pipe may never
    answer. The open does not wait for a pipe's writer."""
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        mode = os.fstat(fd).st_mode
        if not stat.S_ISREG(mode):
            raise RecordingError(f"{path}: {_file_kind(mode)}; a session file is a regular file")
        os.set_blocking(fd, True)
    except BaseException:
        os.close(fd)
        raise
    return open(fd, "rb")


def from_bytes(blob: bytes, path: str = "<bytes>") -> Recording:
    """Reads a session file's bytes, as read() reads the file (`path` names it in messages)."""
    rec = _open(blob, None, path)
    rec.records = list(rec.records)
    return rec


def stream(path: str | os.PathLike) -> Recording:
    """Opens a session file to be read once, record by record, in blocks: memory does not grow
    with the file. The header is read (and checked) at once; `records` is an iterator over the
    records, with the checks of read(), that sets `complete` and `end_note` when it is done and
    raises RecordingError where read() would. The file is closed at the end of the records (or
    when the iterator is dropped)."""
    path = os.fspath(path)
    f = _open_regular(path)
    try:
        rec = _open(f.read(_BLOCK), f.read, path)
    except BaseException:
        f.close()
        raise
    rec.records = _closing(rec.records, f)
    return rec


_BLOCK = 1 << 20  # what stream() reads at a time


def _closing(records: Iterator[Record], f) -> Iterator[Record]:
    with f:
        yield from records


def _fill(buf: bytes, pos: int, base: int, more, need: int) -> tuple[bytes, int, int]:
    """buf[pos:] with at least `need` bytes when the file has them, as (buf, pos, base): base is
    the file offset of buf[0]. `more` reads the file's next bytes (None: buf is the whole file).
    The file is read a block at a time, so a size the file does not hold costs what it holds."""
    have = len(buf) - pos
    if have >= need or more is None:
        return buf, pos, base
    parts = [buf[pos:]]
    while have < need:
        block = more(_BLOCK)
        if not block:
            break
        parts.append(block)
        have += len(block)
    return b"".join(parts), 0, base + pos


def _open(buf: bytes, more, path: str) -> Recording:
    """The header read from buf (and `more`, as for _fill); the records left as an iterator."""
    buf, pos, base = _fill(buf, 0, 0, more, 26)
    if len(buf) < 26 or buf[:8] != MAGIC:
        raise RecordingError(f"{path}: not a session recording")
    version, flags, pid, started, count = struct.unpack_from("<HHIqH", buf, 8)
    if not OLDEST_VERSION <= version <= VERSION:
        raise RecordingError(f"{path}: a session file of version {version}; this reader reads versions "
                             f"{OLDEST_VERSION} to {VERSION}")
    pos, names = 26, []
    for _ in range(count):
        end = buf.find(b"\0", pos)
        while end < 0 and more is not None:
            searched = len(buf) - pos
            buf, pos, base = _fill(buf, pos, base, more, searched + 1)
            if len(buf) - pos <= searched:
                break
            end = buf.find(b"\0", pos + searched)
        if end < 0:
            raise RecordingError(f"{path}: the file ends inside its header")
        try:
            names.append(buf[pos:end].decode("ascii"))
        except UnicodeDecodeError:
            raise RecordingError(f"{path}: a corrupt header") from None
        pos = end + 1
    rec = Recording(path, version, bool(flags & _SECRETS_RECORDED), pid, started, names)
    rec.records = _records(rec, buf, pos, base, more)  # type: ignore[assignment]
    return rec


def _records(rec: Recording, buf: bytes, pos: int, base: int, more) -> Iterator[Record]:
    path, names = rec.path, rec.functions
    count = len(names)
    kinds = KINDS if rec.version >= 2 else _KINDS_1
    # Per thread, what is open: calls (name, number, calls open with it) and, from version 2 on,
    # the events being delivered (None, (topic, time), calls open around it).
    stacks: dict[int, list[tuple]] = {}
    calls = records = 0
    head = _HEAD.size
    while True:
        if len(buf) - pos < head:
            buf, pos, base = _fill(buf, pos, base, more, head)
            if pos >= len(buf):
                break
        if rec.complete:
            raise RecordingError(f"{path}: data after the end record at byte {base + pos}")
        if len(buf) - pos < head:
            break
        kind, size, t, thread, fn, n = _HEAD.unpack_from(buf, pos)
        where = base + pos
        if kind not in kinds or size < head - 5:
            raise RecordingError(f"{path}: corrupt record at byte {where}")
        end = pos + 5 + size
        if end > len(buf):
            buf, pos, base = _fill(buf, pos, base, more, 5 + size)
            end = pos + 5 + size
            if end > len(buf):  # the file ends inside the record: cut there, unless its values end before
                if _values_end_before(buf, pos, n):
                    raise RecordingError(f"{path}: corrupt record at byte {where}: {_SIZE_PAST_THE_END}")
                break
        at, values = pos + head, []
        try:
            for _ in range(n):
                v, at = _value(buf, at, end, where)
                values.append(v)
        except (struct.error, IndexError):
            raise RecordingError(f"{path}: corrupt record at byte {where}") from None
        is_call = kind in (b"C", b"R")
        if at != end or (is_call and fn >= count) or (not is_call and fn != _NO_FUNCTION):
            raise RecordingError(f"{path}: corrupt record at byte {where}")
        why = _shape_error(kind, values)
        if why:
            raise RecordingError(f"{path}: corrupt record at byte {where}: {why}")
        stack = stacks.get(thread)
        if stack is None:
            stack = stacks[thread] = []
        depth = stack[-1][2] if stack else 0
        name = names[fn] if is_call else None
        number = 0
        if kind == b"R":
            if not stack or stack[-1][0] != name:
                raise RecordingError(f"{path}: corrupt record at byte {where}: a return outside its call")
            number = stack.pop()[1]
            depth = stack[-1][2] if stack else 0
            # the out-parameters of a call that did not succeed are not recorded (never read)
            values[1:] = [NOT_RECORDED if v is VOID else v for v in values[1:]]
        elif kind == b"C":
            calls += 1
            number = calls
            stack.append((name, number, depth + 1))
        elif kind == b"E":
            if rec.version >= 2:
                stack.append((None, (values[0], t), depth))
        elif kind == b"H":
            if not stack or stack[-1][0] is not None:
                raise RecordingError(f"{path}: corrupt record at byte {where}: a handler's end outside its event")
            topic, since = stack.pop()[1]
            values = [topic, t - since]
        records += 1
        rec.complete = kind == b"Z"
        pos = end
        yield Record(kinds[kind], where, t, thread, name, tuple(values), depth, number)
    if pos < len(buf):
        rec.end_note = (f"the file is cut short at byte {base + pos}, inside a record; {records} whole records "
                        "before it")
    elif not rec.complete:
        rec.end_note = f"the file ends at byte {base + pos} without its end record (the session was cut short)"


# ---- dump -------------------------------------------------------------------------------------------

MAX_INDENT = 16  # nesting levels shown by indentation; deeper records show their depth as a number


def _printable(text: str) -> str:
    """Text from the file as it may go to a terminal: every character that is not printable
    (control characters, terminal escapes, bidirectional overrides) escaped."""
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


def _show(v) -> str:
    # repr escapes what is not printable, in bytes and in str
    if isinstance(v, bytes) and len(v) > 160:
        return repr(v[:160]) + f"... ({len(v)} bytes)"
    if isinstance(v, str) and len(v) > 160:
        return repr(v[:160]) + f"... ({len(v)} characters)"
    return repr(v)


def _ranges(spec: str, what: str = "a call") -> list[tuple[int, float]]:
    """'7', '5-9', '100-', '-20', comma-separated: inclusive ranges of call (or event) numbers."""
    out = []
    for part in spec.split(","):
        part = part.strip()
        lo, dash, hi = part.partition("-")
        try:
            first = int(lo) if lo else 1
            last = (int(hi) if hi else float("inf")) if dash else first
        except ValueError:
            raise ValueError(f"not {what} number or range: {part!r} (give N, N-M, N- or -M)") from None
        if first < 1 or last < first:
            raise ValueError(f"not {what} range: {part!r}")
        out.append((first, last))
    return out


def _in_ranges(number: int, ranges: list[tuple[int, float]]) -> bool:
    return any(a <= number <= b for a, b in ranges)


def _depth_of(r: Record) -> int:
    return r.depth if isinstance(r.depth, int) and r.depth > 0 else 0


def _marked(count: int, spans: Iterable[tuple[int, int]]) -> list[bool]:
    """Which of `count` records lie in one of the inclusive index spans: one pass over them,
    however deep the spans nest."""
    edges = [0] * (count + 1)
    for first, last in spans:
        edges[first] += 1
        edges[last + 1] -= 1
    marked, open_spans = [], 0
    for k in range(count):
        open_spans += edges[k]
        marked.append(open_spans > 0)
    return marked


def _call_spans(records: list[Record], ranges: list[tuple[int, float]]) -> list[tuple[int, int]]:
    """The index span of each call numbered in `ranges`: from the call to its return, or to the
    end of the file for a call without one."""
    spans, starts = [], {}
    for k, r in enumerate(records):
        if r.kind == "call" and _in_ranges(r.call, ranges):
            starts[r.call] = k
        elif r.kind == "return" and r.call in starts:
            spans.append((starts.pop(r.call), k))
    spans += [(k, len(records) - 1) for k in starts.values()]
    return spans


def _event_spans(records: list[Record], version: int) -> list[tuple[int, int]]:
    """For each event, in file order, the index span of its handling: on the event's thread, the
    records from the event up to its end of delivery ("handled", from version 2 on), or in a
    version 1 file up to the next one at a lower depth (the return of the call it came in) or
    the next event at its depth; an event whose handling does not end, up to its thread's last
    record. The calls its handler made, with what came inside them, are in it. The replay library
    names the event a recorded call was made in by the same rule."""
    spans: list[tuple[int, int]] = []
    handling: dict[object, list[tuple[int, int]]] = {}  # thread -> [(event index in spans, depth)], innermost last
    last: dict[object, int] = {}  # thread -> the index of its last record
    for k, r in enumerate(records):
        depth, stack = _depth_of(r), handling.setdefault(r.thread, [])
        if version >= 2:  # the reader pairs each "handled" with the innermost event of its thread
            if r.kind == "handled" and stack:
                n = stack.pop()[0]
                spans[n] = (spans[n][0], k)
        else:
            while stack and (stack[-1][1] > depth or (r.kind == "event" and stack[-1][1] == depth)):
                n = stack.pop()[0]
                spans[n] = (spans[n][0], last[r.thread])
        if r.kind == "event":
            stack.append((len(spans), depth))
            spans.append((k, k))
        last[r.thread] = k
    for thread, stack in handling.items():
        for n, _ in stack:
            spans[n] = (spans[n][0], last[thread])
    return spans


_STUB = "c_sdk.pyi"  # the module's type stub: each binding's docstring names its SDK function ("(SDK: name)")


def _stub_path() -> str | None:
    """The module's stub: installed beside the module (and this package), or in the source tree."""
    here = os.path.dirname(os.path.abspath(__file__))
    places = []
    try:
        spec = importlib.util.find_spec("c_sdk")  # finds the module without loading it
        if spec is not None and spec.origin:
            places.append(os.path.join(os.path.dirname(spec.origin), _STUB))
    except Exception:  # a broken finder on the path: the other places remain
        pass
    places += [os.path.join(os.path.dirname(here), _STUB), os.path.join(here, os.pardir, os.pardir, "stubs", _STUB)]
    return next((p for p in places if os.path.isfile(p)), None)


def _binding_functions() -> dict[str, str]:
    """{binding: the SDK function it calls} ("py_vqi_place_order": "vqi_place_order_pb"), as
    the module's stub gives them; empty when no stub is found."""
    path = _stub_path()
    if path is None:
        return {}
    try:
        with open(path, encoding="utf-8") as f:
            tree = ast.parse(f.read(), path)
    except (OSError, ValueError, SyntaxError):
        return {}
    found = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            named = re.search(r"\(SDK: (\w+)\)", ast.get_docstring(node) or "")
            if named:
                found[node.name] = named.group(1)
    return found


def _sdk_functions(rec: Recording, names: Iterable[str]) -> list[str]:
    """The SDK functions `names` give: each an SDK function of the file's table, or a binding's
    name (its SDK function). Any other name raises ValueError, with the nearest name known."""
    known, out, bindings = set(rec.functions), [], None
    for name in names:
        if name not in known:
            bindings = _binding_functions() if bindings is None else bindings
            if bindings.get(name) in known:
                name = bindings[name]
            else:
                near = difflib.get_close_matches(name, [*known, *bindings], n=1)
                hint = f" (did you mean {_printable(near[0])}?)" if near else ""
                raise ValueError(f"no SDK function or binding named {_printable(name)!r}{hint}")
        out.append(name)
    return out


def _took(r: Record) -> bool:
    """A "handled" record with its event's topic and the time its handler took."""
    return len(r.values) == 2 and _is_int(r.values[1])


def dump_lines(rec: Recording, *, functions: Iterable[str] | None = None, calls: str | None = None,
               events: bool | None = None, event_numbers: str | None = None) -> Iterator[str]:
    """The session as text: one line per record, calls and their returns numbered (#N, the
    number a divergence report gives), events numbered too (eN), indented by nesting.
    `functions` keeps the calls and returns of those functions only (SDK names, or the names of
    the bindings that call them); `calls` ("5-9", "7", "100-", "-20", comma-separated) keeps the
    records from each such call to its return, nested ones included; `event_numbers` (the same
    forms) keeps each such event with what its handler did (the calls it made, nested ones
    included); `events` shows or leaves out the events (default: shown, unless `functions` is
    given). A name that is no SDK function, or a range that is not one, raises ValueError."""
    wanted = set(_sdk_functions(rec, functions)) if functions else None
    show_events = events if events is not None else wanted is None
    records = rec.records
    numbers, events_seen = [0] * len(records), 0  # the events' numbers, 1, 2, ... in file order
    for k, r in enumerate(records):
        if r.kind == "event":
            events_seen += 1
            numbers[k] = events_seen
    inside = [True] * len(records)
    if calls or event_numbers:
        spans = _call_spans(records, _ranges(calls)) if calls else []
        if event_numbers:
            chosen = _ranges(event_numbers, "an event")
            handlings = _event_spans(records, rec.version)
            spans += [span for n, span in enumerate(handlings, 1) if _in_ranges(n, chosen)]
        inside = _marked(len(records), spans)
    width = len(str(max(max((r.call for r in records), default=0), events_seen))) + 1
    yield (f"session file {_printable(rec.path)}: version {rec.version}, pid {rec.pid}, "
           f"secrets {'recorded' if rec.secrets_recorded else 'not recorded'}, {len(rec.records)} records, "
           f"{sum(r.kind == 'call' for r in records)} calls")
    shown_with_event = -1  # the end of an event's delivery shown on its event's line
    for k, r in enumerate(records):
        if not inside[k] or k == shown_with_event:
            continue
        if r.kind in ("event", "handled") and not show_events:
            continue
        if r.kind in ("call", "return") and wanted is not None and r.function not in wanted:
            continue
        number = f"#{r.call}" if r.kind in ("call", "return") else f"e{numbers[k]}" if numbers[k] else ""
        depth = _depth_of(r)
        indent = "  " * min(depth, MAX_INDENT) + (f"[depth {depth}] " if depth > MAX_INDENT else "")
        head = f"{number:>{width}} {r.time_ns / 1e6:12.3f} ms  t{r.thread}  {indent}"
        values = tuple(r.values)
        name = _printable(str(r.function))
        if r.kind == "call":
            yield head + f"{name}({', '.join(map(_show, values))})"
        elif r.kind == "return":
            if values:
                yield head + f"  -> {_show(values[0])}" + "".join(f", {_show(v)}" for v in values[1:])
            else:
                yield head + "  -> (no values)"
        elif r.kind == "event":
            if len(values) == 3:
                topic, length, payload = values
                # a handler that returned without calling the SDK: its time on the event's line
                after = records[k + 1] if k + 1 < len(records) else None
                handled = ""
                if after is not None and after.kind == "handled" and after.thread == r.thread and _took(after):
                    handled = f"  (handled in {after.values[1] / 1e6:.3f} ms)"
                    shown_with_event = k + 1
                yield head + f"event {_show(topic)} len {_show(length)}: {_show(payload)}{handled}"
            else:
                yield head + f"event ({', '.join(map(_show, values))})"
        elif r.kind == "handled":
            if _took(r):
                yield head + f"  event {_show(values[0])} handled ({values[1] / 1e6:.3f} ms)"
            else:
                yield head + f"  event handled ({', '.join(map(_show, values))})"
        else:
            yield head + "end of the session"
    if not rec.complete:
        yield f"(incomplete: {_printable(rec.end_note)})"


def stats(recording, **filters) -> dict:
    """The figures of a session as data, as `c-sdk-record stats --json` prints them:
    c_sdk_tools.stats.stats, which describes them."""
    from .stats import stats as figures

    return figures(recording, **filters)


# ---- record / replay ------------------------------------------------------------------------------


RECORDER_FILE = "libsession-recorder.so"  # the installed recorder; its soname is libvqsdk.so


def library_dir() -> str:
    """A directory whose libvqsdk.so is the recorder, to put first on LD_LIBRARY_PATH:
    $VQSDK_RECORDER_DIR when set (a build tree's), else a directory of this user's that links
    libvqsdk.so to the recorder installed with this package. The installation itself holds
    nothing named libvqsdk.so, so the loader never finds the recorder unless asked to."""
    given = os.environ.get("VQSDK_RECORDER_DIR")
    if given:
        return given
    target = os.path.join(os.path.dirname(os.path.abspath(__file__)), "lib", RECORDER_FILE)
    key = hashlib.sha1(target.encode()).hexdigest()[:12]
    cache = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    try:
        home = os.path.join(cache, "c_sdk_tools", f"recorder-{key}")
        os.makedirs(home, mode=0o700, exist_ok=True)
        if os.stat(home).st_uid != os.getuid():
            raise OSError("not this user's directory")
    except OSError:
        home = tempfile.mkdtemp(prefix="c_sdk_tools-recorder-")
    link = os.path.join(home, "libvqsdk.so")
    if not (os.path.islink(link) and os.readlink(link) == target):
        fresh = f"{link}.{os.getpid()}"
        os.symlink(target, fresh)
        os.replace(fresh, link)
    return home


def _run(command: list[str], env: dict[str, str]) -> int:
    if not command:
        print("recording: no command to run (give it after --)", file=sys.stderr)
        return USAGE_STATUS
    env = dict(os.environ, **env)
    env["LD_LIBRARY_PATH"] = os.pathsep.join(filter(None, [library_dir(), os.environ.get("LD_LIBRARY_PATH")]))
    try:
        os.execvpe(command[0], command, env)
    except OSError as e:
        print(f"recording: cannot run {command[0]}: {e.strerror}", file=sys.stderr)
        return 127


def _output_problem(output: str) -> str:
    """Why the session file cannot go to `output`, or "". An existing regular file (or a link
    to one) is replaced; anything else at the path (a pipe, a device, a socket, a directory, a
    dangling link) is refused: the recorder only ever writes a new regular file."""
    try:
        st = os.stat(output)
    except FileNotFoundError:
        return "a dangling symbolic link" if os.path.islink(output) else ""
    except OSError as e:
        return e.strerror or str(e)
    if stat.S_ISREG(st.st_mode):
        return ""
    return f"{_file_kind(st.st_mode)}; the session goes only to a new regular file"


def _file_kind(mode: int) -> str:
    """What a file that is not a regular one is, for a message."""
    return ("a directory" if stat.S_ISDIR(mode) else "a pipe (FIFO)" if stat.S_ISFIFO(mode)
            else "a socket" if stat.S_ISSOCK(mode) else "a device" if stat.S_ISCHR(mode) or
            stat.S_ISBLK(mode) else "not a regular file")


def _replace_problem(output: str) -> str:
    """Removes the regular file at `output`, if any (the recorder never writes over an existing
    file), and says why the recorder could not create its file there, or "": a directory that
    does not exist or cannot be written, a read-only file system."""
    try:
        if os.path.lexists(output):
            os.remove(output)
    except OSError as e:
        return e.strerror or str(e)
    return _creation_problem(output)


def _creation_problem(output: str) -> str:
    """Why the recorder could not create the session file at `output`, where nothing is now, or
    "". The file is created as the recorder creates it, and removed again."""
    try:
        fd = os.open(output, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
    except FileNotFoundError:
        return f"no directory {os.path.dirname(output)}"
    except OSError as e:
        return e.strerror or str(e)
    os.close(fd)
    os.remove(output)
    return ""


def _version() -> str:
    try:
        from importlib.metadata import version

        package = version("c_sdk")
    except Exception:  # not installed as a distribution (a build tree)
        package = "unknown"
    return f"c_sdk {package}; session files of versions {OLDEST_VERSION} to {VERSION}"


class _VersionAction(argparse.Action):
    """--version on one line: argparse's own action wraps it at the terminal's width."""

    def __call__(self, parser, namespace, values, option_string=None):
        print(f"{parser.prog} ({_version()})")
        parser.exit()


def _prog() -> str:
    name = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else ""
    return "c-sdk-record" if name.startswith("c-sdk-record") else "python -m c_sdk_tools.recording"


class _Subcommand(argparse.ArgumentParser):
    """A subcommand's parser: an argument it does not know is refused with its own usage (the top
    level's would hide the subcommand's options), and so is an option where the command of
    `record` and `replay` should start."""

    def parse_known_args(self, args=None, namespace=None):
        namespace, extras = super().parse_known_args(args, namespace)
        command = getattr(namespace, "command", None) or []
        if extras:
            self.error(f"unrecognized arguments: {' '.join(extras)}")
        if command and command[0] != "--" and command[0].startswith("-"):
            self.error(f"unrecognized arguments: {command[0]} (give the command after --)")
        return namespace, extras


_RANGE_OPTIONS = ("-c", "--calls", "-e", "--event")
_SUBCOMMANDS = "{record,replay,dump,stats,report}"


def _add_filters(p: argparse.ArgumentParser, verb: str, done: str) -> None:
    """The options that choose a session's records, as dump, stats and report take them: the
    events are `verb` ("show") or left out, by default `done` ("shown")."""
    p.add_argument("-f", "--function", action="append", metavar="NAME",
                   help="only the calls and returns of this SDK function, or of the one this binding calls "
                        "(repeatable, or comma-separated); a name that is neither is refused")
    p.add_argument("-c", "--calls", metavar="RANGE",
                   help="only these calls, from each one to its return, nested calls and events included: "
                        "N, N-M, N- or -M, comma-separated")
    p.add_argument("--events", action=argparse.BooleanOptionalAction, default=None,
                   help=f"{verb} the events, or leave them out (default: {done}, unless --function is given)")


def _functions_given(args: argparse.Namespace) -> list[str] | None:
    """The names of the --function options (each repeatable, or comma-separated), or None."""
    return [name.strip() for given in args.function or [] for name in given.split(",") if name.strip()] or None


def _joined_ranges(argv: list[str]) -> list[str]:
    """argv with a range that starts with a dash ("-20", "-2,12-") joined to its option
    ("--calls=-2,12-"): argparse would take it for an option of its own."""
    out: list[str] = []
    for k, arg in enumerate(argv):
        if arg == "--":
            return out + argv[k:]
        if out and out[-1] in _RANGE_OPTIONS and re.fullmatch(r"-\d[\d,\s-]*", arg):
            out[-1] = f"{out[-1]}={arg}"
        else:
            out.append(arg)
    return out


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=_prog(), description="Record a strategy's session at the SDK boundary, replay it, or print it.",
        epilog="Exit statuses: record and replay end with the command's own status; 2: a command line or a "
               "session file they cannot use; 127: the command cannot be run; a replay that diverges from its "
               f"recording: {DIVERGED_STATUS}; a file the replay library cannot read: {UNREADABLE_STATUS}. "
               "See docs/recording.md.")
    parser.add_argument("--version", action=_VersionAction, nargs=0, help="show the version and exit")
    # Not required here: an unknown option before the subcommand is reported as such (main).
    sub = parser.add_subparsers(dest="what", metavar=_SUBCOMMANDS, parser_class=_Subcommand)
    p = sub.add_parser("record", help="run a command, recording its SDK session",
                       description="Run COMMAND with the recorder in front of the vendor's SDK library.")
    p.add_argument("--sdk", default=os.environ.get("VQSDK_RECORD_LIBRARY"),
                   help="the vendor's libvqsdk.so (default: $VQSDK_RECORD_LIBRARY)")
    p.add_argument("-o", "--output", required=True,
                   help="the session file to write: a new file, or an existing regular file (replaced)")
    p.add_argument("--secrets", action="store_true", help="also record tokens, passwords and TLS material")
    p.add_argument("command", nargs=argparse.REMAINDER, help="-- and the command to run")
    p = sub.add_parser("replay", help="run a command against a recorded session, with no SDK library",
                       description="Run COMMAND against the recording FILE, with no SDK library loaded.")
    p.add_argument("file")
    p.add_argument("command", nargs=argparse.REMAINDER, help="-- and the command to run")
    p = sub.add_parser("dump", help="print a session file as text",
                       description="Print a session file: one line per call, return and event, calls (#N) and "
                                   "events (eN) numbered as a divergence report names them, indented by nesting.")
    p.add_argument("file")
    _add_filters(p, "show", "shown")
    p.add_argument("-e", "--event", metavar="RANGE",
                   help="only these events (eN), each with what its handler did: the calls it made, nested "
                        "ones included; the same forms as --calls")
    from . import report as _report, stats as _stats  # the figures of a session, read as a stream

    _stats.add_commands(sub)
    _report.add_commands(sub)
    return parser


def main(argv: list[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(_joined_ranges(sys.argv[1:] if argv is None else list(argv)))
    if args.what is None:
        parser.error(f"the following arguments are required: {_SUBCOMMANDS}")
    command = getattr(args, "command", None) or []
    if command[:1] == ["--"]:
        command = command[1:]

    if getattr(args, "run", None):  # stats, report
        return args.run(args)
    if args.what == "record":
        if not args.sdk:
            print("recording: give the vendor's SDK library with --sdk (or VQSDK_RECORD_LIBRARY)", file=sys.stderr)
            return USAGE_STATUS
        if not os.path.isfile(args.sdk):
            print(f"recording: no SDK library at {args.sdk}", file=sys.stderr)
            return USAGE_STATUS
        output = os.path.abspath(args.output)
        problem = _output_problem(output) or _replace_problem(output)
        if problem:
            print(f"recording: cannot write the session to {output}: {problem}", file=sys.stderr)
            return USAGE_STATUS
        return _run(command, {"VQSDK_RECORD_FILE": output,
                              "VQSDK_RECORD_LIBRARY": os.path.abspath(args.sdk),
                              "VQSDK_RECORD_SECRETS": "1" if args.secrets else "0"})
    try:
        rec = read(args.file)
    except (OSError, RecordingError) as e:
        print(f"recording: {e}", file=sys.stderr)
        return USAGE_STATUS
    if args.what == "replay":  # a file that is not whole: the replay library says so, once
        return _run(command, {"VQSDK_REPLAY_FILE": os.path.abspath(args.file)})
    try:
        lines = dump_lines(rec, functions=_functions_given(args), calls=args.calls, events=args.events,
                           event_numbers=args.event)
        for line in lines:
            print(line)
    except ValueError as e:
        print(f"recording: {e}", file=sys.stderr)
        return USAGE_STATUS
    except BrokenPipeError:
        # the reader went away (dump ... | head): nothing more to say, nor to flush at exit
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    return 0


if __name__ == "__main__":
    sys.exit(main())
