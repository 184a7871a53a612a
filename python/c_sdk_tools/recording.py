"""Session recordings at the SDK boundary: read them, record a command, replay one.

    c-sdk-record record --sdk /path/to/vendor/libvqsdk.so -o session.vqrec -- python strategy.py
    c-sdk-record replay session.vqrec -- python strategy.py
    c-sdk-record dump session.vqrec [--calls 5-9] [--function NAME] [--no-events]
    c-sdk-record stats session.vqrec [--json] [--calls 5-9] [--function NAME]
    c-sdk-record report session.vqrec -o report.html

(`python -m c_sdk_tools.recording` is the same command.) `record` and `replay` run the command
with this package's libvqsdk.so (the recorder) in front of the module's SDK library through
LD_LIBRARY_PATH; docs/recording.md describes the file format, the environment variables and the
exit statuses.
"""

from __future__ import annotations

import argparse
import hashlib
import os
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


def read(path: str | os.PathLike) -> Recording:
    """Reads a session file. A file cut short (a crash, a full disk) reads up to its last whole
    record, with `complete` False and `end_note` saying where it ends; anything else that is not
    a recording of a version this reader reads raises RecordingError. Every length and count in
    the file is checked against the bytes that hold it and, where the SDK's caller receives it,
    in the type it receives it as, as the replay library checks them."""
    path = os.fspath(path)
    with open(path, "rb") as f:
        return from_bytes(f.read(), path)


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
    # opened without waiting (a pipe would wait for a writer), and only a regular file is read
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    f = os.fdopen(fd, "rb")
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise RecordingError(f"{path}: not a regular file")
        os.set_blocking(fd, True)
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
            if end > len(buf):
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


def _ranges(spec: str) -> list[tuple[int, float]]:
    """'7', '5-9', '100-', '-20', comma-separated: inclusive ranges of call numbers."""
    out = []
    for part in spec.split(","):
        part = part.strip()
        lo, dash, hi = part.partition("-")
        try:
            first = int(lo) if lo else 1
            last = (int(hi) if hi else float("inf")) if dash else first
        except ValueError:
            raise ValueError(f"not a call number or range: {part!r} (give N, N-M, N- or -M)") from None
        if first < 1 or last < first:
            raise ValueError(f"not a call range: {part!r}")
        out.append((first, last))
    return out


def _took(r: Record) -> bool:
    """A "handled" record with its event's topic and the time its handler took."""
    return len(r.values) == 2 and _is_int(r.values[1])


def dump_lines(rec: Recording, *, functions: Iterable[str] | None = None, calls: str | None = None,
               events: bool | None = None) -> Iterator[str]:
    """The session as text: one line per record, calls and their returns numbered (#N, the
    number a divergence report gives), indented by nesting. `functions` keeps the calls and
    returns of those functions only; `calls` ("5-9", "7", "100-", "-20", comma-separated) keeps
    the records from each such call to its return, nested ones included; `events` shows or
    leaves out the events (default: shown, unless `functions` is given)."""
    wanted = set(functions) if functions else None
    show_events = events if events is not None else wanted is None
    records = rec.records
    inside = [True] * len(records)
    if calls:
        spans = _ranges(calls)
        inside = [False] * len(records)
        starts: dict[int, int] = {}
        for k, r in enumerate(records):
            if r.kind == "call" and any(a <= r.call <= b for a, b in spans):
                starts[r.call] = k
            if r.kind == "return" and r.call in starts:
                for j in range(starts.pop(r.call), k + 1):
                    inside[j] = True
        for k in starts.values():  # calls without their return: to the end
            for j in range(k, len(records)):
                inside[j] = True
    width = len(str(max((r.call for r in records), default=0))) + 1
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
        number = f"#{r.call}" if r.kind in ("call", "return") else ""
        depth = r.depth if isinstance(r.depth, int) and r.depth > 0 else 0
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
    what = ("a directory" if stat.S_ISDIR(st.st_mode) else "a pipe (FIFO)" if stat.S_ISFIFO(st.st_mode)
            else "a socket" if stat.S_ISSOCK(st.st_mode) else "a device" if stat.S_ISCHR(st.st_mode) or
            stat.S_ISBLK(st.st_mode) else "not a regular file")
    return f"{what}; the session goes only to a new regular file"


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


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=_prog(), description="Record a strategy's session at the SDK boundary, replay it, or print it.",
        epilog="Exit statuses: record and replay end with the command's own status; 2: a command line or a "
               "session file they cannot use; 127: the command cannot be run; a replay that diverges from its "
               f"recording: {DIVERGED_STATUS}; a file the replay library cannot read: {UNREADABLE_STATUS}. "
               "See docs/recording.md.")
    parser.add_argument("--version", action=_VersionAction, nargs=0, help="show the version and exit")
    sub = parser.add_subparsers(dest="what", required=True, metavar="{record,replay,dump,stats,report}")
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
                       description="Print a session file: one line per call, return and event, calls numbered "
                                   "(#N, as a divergence report names them), indented by nesting.")
    p.add_argument("file")
    p.add_argument("-f", "--function", action="append", metavar="NAME",
                   help="only the calls and returns of this function (repeatable, or comma-separated)")
    p.add_argument("-c", "--calls", metavar="RANGE",
                   help="only these calls, from each one to its return, nested calls and events included: "
                        "N, N-M, N- or -M, comma-separated")
    p.add_argument("--events", action=argparse.BooleanOptionalAction, default=None,
                   help="show the events, or leave them out (default: shown, unless --function is given)")
    from . import report as _report, stats as _stats  # the figures of a session, read as a stream

    _stats.add_commands(sub)
    _report.add_commands(sub)
    return parser


def main(argv: list[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    command = getattr(args, "command", None) or []
    if command[:1] == ["--"]:
        command = command[1:]
    elif command and command[0].startswith("-"):
        parser.error(f"unrecognized arguments: {command[0]} (give the command after --)")

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
        problem = _output_problem(output)
        if problem:
            print(f"recording: cannot write the session to {output}: {problem}", file=sys.stderr)
            return USAGE_STATUS
        if os.path.lexists(output):
            os.remove(output)  # the recorder never writes over an existing file
        return _run(command, {"VQSDK_RECORD_FILE": output,
                              "VQSDK_RECORD_LIBRARY": os.path.abspath(args.sdk),
                              "VQSDK_RECORD_SECRETS": "1" if args.secrets else "0"})
    try:
        rec = read(args.file)
    except (OSError, RecordingError) as e:
        print(f"recording: {e}", file=sys.stderr)
        return USAGE_STATUS
    if args.what == "replay":
        if not rec.complete:
            print(f"recording: {args.file}: {rec.end_note}; replaying what it holds", file=sys.stderr)
        return _run(command, {"VQSDK_REPLAY_FILE": os.path.abspath(args.file)})
    functions = [name for given in args.function or [] for name in given.split(",") if name]
    try:
        lines = dump_lines(rec, functions=functions or None, calls=args.calls, events=args.events)
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
