"""Session recordings at the SDK boundary: read them, record a command, replay one.

    python -m c_sdk_tools.recording record --sdk /path/to/vendor/libvqsdk.so -o session.vqrec -- python strategy.py
    python -m c_sdk_tools.recording replay session.vqrec -- python strategy.py
    python -m c_sdk_tools.recording dump session.vqrec

`record` and `replay` run the command with this package's libvqsdk.so (the recorder) in front of
the module's SDK library through LD_LIBRARY_PATH; docs/recording.md describes the file format,
the environment variables and the exit statuses.
"""

from __future__ import annotations

import argparse
import hashlib
import os
import struct
import sys
import tempfile
from dataclasses import dataclass, field
from typing import Iterator

__all__ = ["Recording", "Record", "RecordingError", "read", "library_dir", "SECRET", "OUT", "POINTER", "VOID"]

MAGIC = b"VQSDKREC"
VERSION = 1
DIVERGED_STATUS = 86  # the replayed session called something else than the recording
UNREADABLE_STATUS = 85  # the replay library could not read the session file
_SECRETS_RECORDED = 1
_HEAD = struct.Struct("<cIQIHB")  # kind, size, time (ns), thread, function, value count
_NO_FUNCTION = 0xFFFF
KINDS = {b"C": "call", b"R": "return", b"E": "event", b"Z": "end"}


class _Marker:
    def __init__(self, name: str):
        self._name = name

    def __repr__(self) -> str:
        return self._name


SECRET = _Marker("<secret>")  # a secret not recorded
OUT = _Marker("<out>")  # a non-null out-parameter
POINTER = _Marker("<pointer>")  # a non-null reserved pointer or callback
VOID = _Marker("<void>")  # no return value


class RecordingError(Exception):
    """A file that is not a readable session recording."""


@dataclass
class Record:
    kind: str  # "call", "return", "event" or "end"
    offset: int  # byte offset in the file
    time_ns: int  # since the recording started
    thread: int  # 1, 2, ... in the order the threads first appear
    function: str | None  # calls and returns
    values: tuple  # call: the arguments; return: the return value, then the out-parameters;
    #                event: (topic, len, payload)
    depth: int = 0  # calls in progress on the thread around this record


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

    def calls(self) -> list[tuple[str, tuple]]:
        return [(r.function, r.values) for r in self.records if r.kind == "call"]

    def events(self) -> list[tuple]:
        return [r.values for r in self.records if r.kind == "event"]


def _value(blob: bytes, pos: int, end: int, where: int):
    if pos >= end:
        raise struct.error("past the end")
    tag = blob[pos : pos + 1]
    pos += 1
    if tag in (b"n", b"s", b"o", b"p", b"v"):
        return {b"n": None, b"s": SECRET, b"o": OUT, b"p": POINTER, b"v": VOID}[tag], pos
    if tag == b"i":
        return struct.unpack_from("<q", blob, pos)[0], pos + 8
    if tag == b"f":
        return struct.unpack_from("<d", blob, pos)[0], pos + 8
    if tag == b"?":
        return bool(blob[pos]), pos + 1
    if tag in (b"b", b"t"):
        (n,) = struct.unpack_from("<I", blob, pos)
        if pos + 4 + n > end:
            raise struct.error("past the end")
        data = blob[pos + 4 : pos + 4 + n]
        return (data if tag == b"b" else data.decode("utf-8", "surrogateescape")), pos + 4 + n
    raise RecordingError(f"corrupt record at byte {where}: unknown value tag {tag!r}")


def read(path: str | os.PathLike) -> Recording:
    """Reads a session file. A file cut short (a crash, a full disk) reads up to its last whole
    record, with `complete` False and `end_note` saying where it ends; anything else that is not
    a recording of this version raises RecordingError."""
    path = os.fspath(path)
    with open(path, "rb") as f:
        blob = f.read()
    if len(blob) < 26 or blob[:8] != MAGIC:
        raise RecordingError(f"{path}: not a session recording")
    version, flags, pid, started, count = struct.unpack_from("<HHIqH", blob, 8)
    if version != VERSION:
        raise RecordingError(f"{path}: a session file of version {version}; this reader reads version {VERSION}")
    pos, names = 26, []
    for _ in range(count):
        end = blob.find(b"\0", pos)
        if end < 0:
            raise RecordingError(f"{path}: the file ends inside its header")
        try:
            names.append(blob[pos:end].decode("ascii"))
        except UnicodeDecodeError:
            raise RecordingError(f"{path}: a corrupt header") from None
        pos = end + 1
    rec = Recording(path, version, bool(flags & _SECRETS_RECORDED), pid, started, names)
    depth: dict[int, list[str]] = {}
    while pos < len(blob):
        if rec.complete:
            raise RecordingError(f"{path}: data after the end record at byte {pos}")
        if len(blob) - pos < _HEAD.size:
            break
        kind, size, t, thread, fn, n = _HEAD.unpack_from(blob, pos)
        if kind not in KINDS or size < _HEAD.size - 5:
            raise RecordingError(f"{path}: corrupt record at byte {pos}")
        end = pos + 5 + size
        if end > len(blob):
            break
        at, values = pos + _HEAD.size, []
        try:
            for _ in range(n):
                v, at = _value(blob, at, end, pos)
                values.append(v)
        except (struct.error, IndexError):
            raise RecordingError(f"{path}: corrupt record at byte {pos}") from None
        is_call = kind in (b"C", b"R")
        if at != end or (is_call and fn >= count) or (not is_call and fn != _NO_FUNCTION):
            raise RecordingError(f"{path}: corrupt record at byte {pos}")
        # the caller reads `len` bytes of a response or payload: the recorded bytes must hold them
        if kind in (b"R", b"E") and len(values) == 3 and isinstance(values[-1 if kind == b"E" else 1], bytes):
            data, length = (values[2], values[1]) if kind == b"E" else (values[1], values[2])
            if not isinstance(length, int) or length > len(data):
                raise RecordingError(f"{path}: corrupt record at byte {pos}: a length past its bytes")
        stack = depth.setdefault(thread, [])
        name = names[fn] if is_call else None
        if kind == b"R":
            if not stack or stack[-1] != name:
                raise RecordingError(f"{path}: corrupt record at byte {pos}: a return of {name} outside its call")
            stack.pop()
        rec.records.append(Record(KINDS[kind], pos, t, thread, name, tuple(values), len(stack)))
        if kind == b"C":
            stack.append(name)
        rec.complete = kind == b"Z"
        pos = end
    if pos < len(blob):
        rec.end_note = f"the file is cut short at byte {pos}, inside a record; {len(rec.records)} whole records before it"
    elif not rec.complete:
        rec.end_note = f"the file ends at byte {pos} without its end record (the session was cut short)"
    return rec


# ---- dump -------------------------------------------------------------------------------------------


def _show(v) -> str:
    if isinstance(v, bytes) and len(v) > 160:
        return repr(v[:160]) + f"... ({len(v)} bytes)"
    return repr(v)


def dump_lines(rec: Recording) -> Iterator[str]:
    yield (f"session file {rec.path}: version {rec.version}, pid {rec.pid}, "
           f"secrets {'recorded' if rec.secrets_recorded else 'not recorded'}, {len(rec.records)} records")
    for r in rec.records:
        head = f"{r.time_ns / 1e6:12.3f} ms  t{r.thread}  {'  ' * r.depth}"
        if r.kind == "call":
            yield head + f"{r.function}({', '.join(map(_show, r.values))})"
        elif r.kind == "return":
            ret, *outs = r.values
            yield head + f"  -> {_show(ret)}" + "".join(f", {_show(v)}" for v in outs)
        elif r.kind == "event":
            topic, length, payload = r.values
            yield head + f"event {topic!r} len {length}: {_show(payload)}"
        else:
            yield head + "end of the session"
    if not rec.complete:
        yield f"(incomplete: {rec.end_note})"


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
        return 2
    env = dict(os.environ, **env)
    env["LD_LIBRARY_PATH"] = os.pathsep.join(filter(None, [library_dir(), os.environ.get("LD_LIBRARY_PATH")]))
    try:
        os.execvpe(command[0], command, env)
    except OSError as e:
        print(f"recording: cannot run {command[0]}: {e.strerror}", file=sys.stderr)
        return 127


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m c_sdk_tools.recording", description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="what", required=True)
    p = sub.add_parser("record", help="run a command, recording its SDK session")
    p.add_argument("--sdk", default=os.environ.get("VQSDK_RECORD_LIBRARY"),
                   help="the vendor's libvqsdk.so (default: $VQSDK_RECORD_LIBRARY)")
    p.add_argument("-o", "--output", required=True, help="the session file to write (replaced if it exists)")
    p.add_argument("--secrets", action="store_true", help="also record tokens, passwords and TLS material")
    p.add_argument("command", nargs=argparse.REMAINDER)
    p = sub.add_parser("replay", help="run a command against a recorded session, with no SDK library")
    p.add_argument("file")
    p.add_argument("command", nargs=argparse.REMAINDER)
    p = sub.add_parser("dump", help="print a session file as text")
    p.add_argument("file")
    args = parser.parse_args(argv)
    command = getattr(args, "command", [])
    if command[:1] == ["--"]:
        command = command[1:]

    if args.what == "record":
        if not args.sdk:
            print("recording: give the vendor's SDK library with --sdk (or VQSDK_RECORD_LIBRARY)", file=sys.stderr)
            return 2
        if not os.path.isfile(args.sdk):
            print(f"recording: no SDK library at {args.sdk}", file=sys.stderr)
            return 2
        output = os.path.abspath(args.output)
        if os.path.isfile(output):
            os.remove(output)  # the recorder never writes over an existing file
        return _run(command, {"VQSDK_RECORD_FILE": output,
                              "VQSDK_RECORD_LIBRARY": os.path.abspath(args.sdk),
                              "VQSDK_RECORD_SECRETS": "1" if args.secrets else "0"})
    try:
        rec = read(args.file)
    except (OSError, RecordingError) as e:
        print(f"recording: {e}", file=sys.stderr)
        return 2
    if args.what == "replay":
        if not rec.complete:
            print(f"recording: {args.file}: {rec.end_note}; replaying what it holds", file=sys.stderr)
        return _run(command, {"VQSDK_REPLAY_FILE": os.path.abspath(args.file)})
    try:
        for line in dump_lines(rec):
            print(line)
    except BrokenPipeError:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
