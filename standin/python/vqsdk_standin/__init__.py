"""Python control of the vqsdk stand-in (the test double built as libvqsdk.so).

    sdk = StandIn()              # the libvqsdk.so that c_sdk loaded
    sdk = StandIn("/x/libvqsdk.so")  # or an explicit one
    sdk.reset()
    sdk.script("vqi_get_orders_pb", status=3, response=b"\\0x")
    ... exercise c_sdk ...
    assert sdk.last_call() == Call("vqi_get_orders_pb", (b"req", 3, OUT, OUT))

The call log records one value per native parameter: bytes for request buffers (exactly their
length) and texts, None for a null pointer, UNREAD for a request buffer whose length was
negative, int / float / bool as passed, PTR for a non-null reserved pointer or callback, and an
Out marker for out-parameters (OUT when the pointer is valid and, for char **, *res was null).

Scripts are sticky until reset() or unscript(); once=True scripts answer exactly one call each,
ahead of the sticky one. Unscripted functions answer with the defaults described in
standin/standin_control.h (status: default_status; queries: b"<name>|<request>").

The library is loaded with ctypes.PyDLL: the GIL stays held during control calls, so events
emitted from here reach the registered callback on this thread with the GIL held.
"""

from __future__ import annotations

import ctypes
import math
import os
import struct
from dataclasses import dataclass
from typing import NamedTuple

__all__ = ["StandIn", "Call", "Out", "OUT", "PTR", "UNREAD", "EVENT_CALLBACK", "library_path"]

LIBRARY_NAME = "libvqsdk.so"

# Script fields and reset flags, as in standin_control.h.
_STATUS, _RESPONSE, _RES_LEN, _SKIP_RES_LEN, _TEXT, _VALUE, _DELAY = 0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40
_RESET_CALLBACK, _RESET_CONFIG = 1, 2


class Call(NamedTuple):
    name: str
    args: tuple


@dataclass(frozen=True)
class Out:
    """An out-parameter as received: `null` if the pointer itself was null; `preset` (char **
    only) if the char * it pointed to was not null on entry."""

    null: bool = False
    preset: bool = False


OUT = Out()


class _Marker:
    def __init__(self, name: str):
        self._name = name

    def __repr__(self) -> str:
        return self._name


PTR = _Marker("PTR")  # a non-null reserved pointer or callback
UNREAD = _Marker("UNREAD")  # a request buffer not read because its length was negative


# The SDK's event callback type: (topic, data, len). data is a raw pointer (the payload may hold
# NUL bytes): read it with ctypes.string_at(data, len).
EVENT_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_char_p, ctypes.POINTER(ctypes.c_char), ctypes.c_int)


class _Script(ctypes.Structure):
    _fields_ = [
        ("fields", ctypes.c_uint),
        ("status", ctypes.c_int),
        ("response", ctypes.c_char_p),
        ("response_len", ctypes.c_int),
        ("res_len", ctypes.c_int),
        ("text", ctypes.c_char_p),
        ("int_value", ctypes.c_longlong),
        ("real_value", ctypes.c_double),
        ("delay_ns", ctypes.c_longlong),
    ]


def library_path() -> str:
    """Path of the libvqsdk.so that the c_sdk extension loaded."""
    import c_sdk  # noqa: F401  (loading it maps the SDK library)

    with open("/proc/self/maps", "rb") as maps:  # paths as the system has them, UTF-8 or not
        for line in maps:
            fields = line.split(maxsplit=5)
            if len(fields) == 6 and os.path.basename(fields[5].rstrip(b"\n")) == os.fsencode(LIBRARY_NAME):
                return os.fsdecode(fields[5].rstrip(b"\n"))
    beside = os.path.join(os.path.dirname(os.path.abspath(c_sdk.__file__)), LIBRARY_NAME)
    if os.path.exists(beside):
        return beside
    raise RuntimeError(f"c_sdk is loaded but no {LIBRARY_NAME} was found")


def _text(value: str | bytes | None, what: str) -> bytes | None:
    if value is None:
        return None
    if isinstance(value, str):
        value = value.encode()
    if b"\0" in value:
        raise ValueError(f"{what} cannot hold NUL bytes")
    return bytes(value)


def _data(value: str | bytes | None) -> bytes | None:
    return value.encode() if isinstance(value, str) else value


class StandIn:
    """Drives the stand-in library at `path` (default: the one c_sdk loaded)."""

    def __init__(self, path: str | os.PathLike | None = None):
        self.path = os.fspath(path) if path is not None else library_path()
        lib = ctypes.PyDLL(self.path)
        if not hasattr(lib, "standin_reset"):
            raise RuntimeError(f"{self.path} is not the vqsdk stand-in")
        self.lib = lib
        sig = {
            "standin_reset": (None, [ctypes.c_int]),
            "standin_set_recording": (None, [ctypes.c_int]),
            "standin_recording": (ctypes.c_int, []),
            "standin_set_default_status": (None, [ctypes.c_int]),
            "standin_default_status": (ctypes.c_int, []),
            "standin_function_count": (ctypes.c_int, []),
            "standin_function_name": (ctypes.c_char_p, [ctypes.c_int]),
            "standin_script_set": (ctypes.c_int, [ctypes.c_char_p, ctypes.POINTER(_Script), ctypes.c_int]),
            "standin_script_clear": (ctypes.c_int, [ctypes.c_char_p]),
            "standin_log_read": (ctypes.c_size_t, [ctypes.c_void_p, ctypes.c_size_t]),
            "standin_log_count": (ctypes.c_size_t, []),
            "standin_log_clear": (None, []),
            "standin_queue_event": (None, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t, ctypes.c_int]),
            "standin_emit_event": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t, ctypes.c_int]),
            "standin_pending_events": (ctypes.c_int, []),
            "standin_set_deliver_on_call": (None, [ctypes.c_int]),
            "standin_deliver_on_call": (ctypes.c_int, []),
            "standin_callback_registered": (ctypes.c_int, []),
            "standin_stop_requested": (ctypes.c_int, []),
            "standin_thread_events_start": (ctypes.c_int, [ctypes.c_int, ctypes.c_int, ctypes.c_char_p, ctypes.c_char_p,
                                                       ctypes.c_size_t]),
            "standin_swap_callback": (ctypes.c_void_p, [ctypes.c_void_p]),
            "standin_market_enable": (None, [ctypes.c_ulonglong]),
            "standin_market_disable": (None, []),
            "standin_market_enabled": (ctypes.c_int, []),
            "standin_market_set_tick_interval": (ctypes.c_int, [ctypes.c_int]),
            "standin_market_set_length": (None, [ctypes.c_longlong]),
            "standin_set_wait": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_int]),
            "standin_hold": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_int]),
            "standin_held": (ctypes.c_int, []),
        }
        for name, (restype, argtypes) in sig.items():
            fn = getattr(lib, name)
            fn.restype, fn.argtypes = restype, argtypes
        # Waiting for the library's threads must not hold the GIL: their events need it.
        self._join = ctypes.CDLL(self.path).standin_thread_events_join
        self._join.restype, self._join.argtypes = ctypes.c_int, []
        self.names = tuple(
            lib.standin_function_name(i).decode() for i in range(lib.standin_function_count())
        )

    # ---- state ----

    def reset(self, *, callback: bool = False, config: bool = False) -> None:
        """Clears the log, scripts, queued events, stop flag and timer ids. callback=True also
        forgets the registered callback; config=True also restores recording on, status 0 and
        deliver_on_call off."""
        self.lib.standin_reset((_RESET_CALLBACK if callback else 0) | (_RESET_CONFIG if config else 0))

    @property
    def recording(self) -> bool:
        return bool(self.lib.standin_recording())

    @recording.setter
    def recording(self, on: bool) -> None:
        self.lib.standin_set_recording(int(bool(on)))

    @property
    def default_status(self) -> int:
        return self.lib.standin_default_status()

    @default_status.setter
    def default_status(self, status: int) -> None:
        self.lib.standin_set_default_status(status)

    # ---- call log ----

    def calls(self) -> list[Call]:
        while True:
            size = self.lib.standin_log_read(None, 0)
            buf = ctypes.create_string_buffer(size)
            if self.lib.standin_log_read(buf, size) == size:
                return self._parse(buf.raw)

    def calls_to(self, name: str) -> list[Call]:
        self._check_name(name)
        return [c for c in self.calls() if c.name == name]

    def last_call(self) -> Call:
        calls = self.calls()
        if not calls:
            raise LookupError("no SDK call recorded")
        return calls[-1]

    @property
    def call_count(self) -> int:
        return self.lib.standin_log_count()

    def clear_calls(self) -> None:
        self.lib.standin_log_clear()

    def _parse(self, blob: bytes) -> list[Call]:
        calls, pos = [], 0
        while pos < len(blob):
            index, argc = struct.unpack_from("=HB", blob, pos)
            pos += 3
            args = []
            for _ in range(argc):
                tag = blob[pos : pos + 1]
                pos += 1
                if tag == b"n":
                    args.append(None)
                elif tag == b"b":
                    (n,) = struct.unpack_from("=I", blob, pos)
                    args.append(blob[pos + 4 : pos + 4 + n])
                    pos += 4 + n
                elif tag == b"x":
                    args.append(UNREAD)
                elif tag == b"i":
                    args.append(struct.unpack_from("=q", blob, pos)[0])
                    pos += 8
                elif tag == b"f":
                    args.append(struct.unpack_from("=d", blob, pos)[0])
                    pos += 8
                elif tag == b"?":
                    args.append(bool(blob[pos]))
                    pos += 1
                elif tag == b"p":
                    args.append(PTR)
                elif tag == b"o":
                    args.append(Out(null=bool(blob[pos] & 1), preset=bool(blob[pos] & 2)))
                    pos += 1
                else:
                    raise ValueError(f"corrupt call log: tag {tag!r} at {pos - 1}")
            calls.append(Call(self.names[index], tuple(args)))
        return calls

    # ---- scripts ----

    def script(
        self,
        name: str,
        *,
        status: int | None = None,
        response: bytes | str | None = None,
        null_response: bool = False,
        res_len: int | None = None,
        skip_res_len: bool = False,
        text: bytes | str | None = None,
        null_text: bool = False,
        value: int | float | None = None,
        delay: float | None = None,
        once: bool = False,
    ) -> None:
        """Scripts `name`'s answers (fields left as None / False keep their defaults).

        status: the int returned. response: the bytes in *res (null_response: *res = NULL).
        res_len: the length written to *res_len (negative allowed; a length past the response
        pads it with zero bytes); skip_res_len: leave *res_len untouched. text: the returned
        text (null_text: a null pointer). value: what vqi_now / vqi_now_plus return. delay: the
        seconds the call takes before it answers (any function; it sleeps, then spins the last
        0.2 ms: a call of known duration for what measures calls)."""
        s = _Script()
        if status is not None:
            s.fields |= _STATUS
            s.status = status
        if response is not None or null_response:
            if response is not None and null_response:
                raise ValueError("response and null_response exclude each other")
            s.fields |= _RESPONSE
            data = _data(response)
            s.response = data
            s.response_len = len(data) if data is not None else 0
        if res_len is not None:
            s.fields |= _RES_LEN
            s.res_len = res_len
        if skip_res_len:
            s.fields |= _SKIP_RES_LEN
        if text is not None or null_text:
            if text is not None and null_text:
                raise ValueError("text and null_text exclude each other")
            s.fields |= _TEXT
            s.text = _text(text, "a scripted text")
        if value is not None:
            s.fields |= _VALUE
            s.int_value = int(value) if math.isfinite(value) else 0
            s.real_value = float(value)
        if delay is not None:
            if not 0 <= delay < 3600:
                raise ValueError("delay must be between 0 and 3600 seconds")
            s.fields |= _DELAY
            s.delay_ns = round(delay * 1e9)
        rc = self.lib.standin_script_set(name.encode(), ctypes.byref(s), int(once))
        if rc == -1:
            raise KeyError(f"no SDK function {name!r}")
        if rc == -2:
            raise ValueError(f"{name} has no use for some of these script fields")

    def unscript(self, name: str | None = None) -> None:
        """Drops the scripts of `name` (None: of every function)."""
        if self.lib.standin_script_clear(name.encode() if name is not None else None) != 0:
            raise KeyError(f"no SDK function {name!r}")

    # ---- events ----

    def queue_event(self, topic: str | bytes | None, data: bytes | str | None = b"", length: int | None = None) -> None:
        """Queues an event for vqi_run / vqi_poll. None makes a null topic / payload pointer;
        `length` (default: the payload's size) is what the callback receives as len."""
        self.lib.standin_queue_event(*self._event(topic, data, length))

    def emit(self, topic: str | bytes | None, data: bytes | str | None = b"", length: int | None = None) -> None:
        """Delivers an event at once to the registered callback, on this thread."""
        if self.lib.standin_emit_event(*self._event(topic, data, length)) != 0:
            raise RuntimeError("no event callback is registered")

    def thread_events(self, threads: int, events: int, topic: str | bytes, data: bytes | str = b"") -> None:
        """Starts `threads` native threads of the library's own, each delivering `events` copies
        of the event to the registered callback on that thread, without the GIL."""
        data = _data(data)
        if self.lib.standin_thread_events_start(threads, events, _text(topic, "an event topic"), data, len(data)) != 0:
            raise ValueError("bad thread event arguments")

    def join_threads(self) -> int:
        """Waits (without the GIL) for every thread of thread_events; the events delivered since the
        last join."""
        return self._join()

    @staticmethod
    def _event(topic, data, length):
        data = _data(data)
        size = len(data) if data is not None else 0
        return _text(topic, "an event topic"), data, size, size if length is None else length

    @property
    def pending_events(self) -> int:
        return self.lib.standin_pending_events()

    @property
    def deliver_on_call(self) -> bool:
        """While true, every SDK function first delivers the queued events (before it reads its
        arguments), as an SDK may inside any of its functions. reset(config=True) turns it off."""
        return bool(self.lib.standin_deliver_on_call())

    @deliver_on_call.setter
    def deliver_on_call(self, on: bool) -> None:
        self.lib.standin_set_deliver_on_call(int(bool(on)))

    @property
    def callback_registered(self) -> bool:
        return bool(self.lib.standin_callback_registered())

    @property
    def stop_requested(self) -> bool:
        return bool(self.lib.standin_stop_requested())

    def swap_callback(self, callback: EVENT_CALLBACK | int | None) -> int | None:
        """Registers `callback` (None: none) without a recorded call; returns the previous one's
        address, which can be handed back here to restore it. The caller keeps `callback` alive."""
        if isinstance(callback, EVENT_CALLBACK):
            callback = ctypes.cast(callback, ctypes.c_void_p).value
        return self.lib.standin_swap_callback(callback)

    # ---- waiting, as a server would ----

    def set_wait(self, name: str | None, seconds: float) -> None:
        """Every call of SDK function `name` (None: of every one) first waits `seconds` (0: not
        at all), as an SDK waiting for its server; vqi_run waits before its first event."""
        if name is not None:
            self._check_name(name)
        if self.lib.standin_set_wait(_text(name, "a function name"), round(seconds * 1e6)) != 0:
            raise ValueError(f"bad wait: {seconds!r}")

    def hold(self, name: str | None = None, on: bool = True) -> None:
        """While held, the calls of SDK function `name` (None: of every one) wait at their start
        until hold(name, False) or reset()."""
        if name is not None:
            self._check_name(name)
        self.lib.standin_hold(_text(name, "a function name"), int(bool(on)))

    @property
    def held(self) -> int:
        """How many threads wait at a hold now."""
        return self.lib.standin_held()

    # ---- threads inside SDK code ----

    def inside_max(self, *, reset: bool = False) -> int:
        """The most threads seen running SDK code at once since the last reset (standin_reset or
        reset=True, which then sets it to the number inside now). A thread counts from its outermost
        SDK call to its exit, not while a handler runs; see standin_control.h."""
        lib = self.lib
        lib.standin_inside_max.restype, lib.standin_inside_max.argtypes = ctypes.c_int, []
        lib.standin_inside_reset.restype, lib.standin_inside_reset.argtypes = None, []
        most = lib.standin_inside_max()
        if reset:
            lib.standin_inside_reset()
        return most

    # ---- market ----

    def market_enable(self, seed: int, *, tick_interval: int | None = None, length: int | None = None) -> None:
        """Switches the demo market on (or starts it over) with prices from `seed`, in a fresh
        default session. tick_interval (ms between ticks) and length (cap on a session's length,
        ms; 0: none) hold from this session on. See standin/market.cpp."""
        if tick_interval is not None and self.lib.standin_market_set_tick_interval(tick_interval) != 0:
            raise ValueError("tick_interval must be positive")
        if length is not None:
            self.lib.standin_market_set_length(length)
        self.lib.standin_market_enable(seed)

    def market_disable(self) -> None:
        """Hands every function back to the test double."""
        self.lib.standin_market_disable()

    @property
    def market_enabled(self) -> bool:
        return bool(self.lib.standin_market_enabled())

    def _check_name(self, name: str) -> None:
        if name not in self.names:
            raise KeyError(f"no SDK function {name!r}")


# ---- the seeded market, for strategy scripts ----------------------------------------------------

RECORDER_FILE = "libsession-recorder.so"  # the session recorder (c_sdk_tools), soname libvqsdk.so


def _recorder_loaded() -> bool:
    """Whether the libvqsdk.so that c_sdk loaded is the session recorder (record or replay)."""
    import c_sdk  # noqa: F401  (loading it maps the SDK library)

    suffix = os.fsencode("/" + RECORDER_FILE)
    try:
        with open("/proc/self/maps", "rb") as maps:
            return any(line.rstrip(b"\n").endswith(suffix) for line in maps)
    except OSError:
        return False


def enable_market(seed: int = 7, *, tick_interval: int | None = None, length: int | None = None) -> StandIn | None:
    """Switches the stand-in's seeded market on for a strategy script, answering with the platform
    package's success status (vq.constant.CSDK_OPERATE_SUCCESS); returns the StandIn it drives.

    - Live (c_sdk runs on the stand-in): the market of the libvqsdk.so c_sdk loaded.
    - Behind the session recorder (`record`): the market of the library the recorder forwards to
      (VQSDK_RECORD_LIBRARY), so the recording holds the market's answers.
    - In a replay (`replay`): nothing to switch on, the recording answers every call; returns None.

    seed picks the prices (the same seed, the same session); tick_interval (ms between ticks) and
    length (cap on a session's length in ms, 0: none) as for StandIn.market_enable. Raises
    RuntimeError when c_sdk runs on a library that is not the stand-in (a vendor's SDK has no
    seeded market), or on the recorder when it is neither recording nor replaying."""
    import vq.constant

    if _recorder_loaded():
        if os.environ.get("VQSDK_REPLAY_FILE"):
            return None
        library = os.environ.get("VQSDK_RECORD_LIBRARY")
        if not library:
            raise RuntimeError("c_sdk runs on the session recorder, which neither records (VQSDK_RECORD_LIBRARY "
                               "is not set) nor replays (VQSDK_REPLAY_FILE is not set)")
        sdk = StandIn(library)
    else:
        sdk = StandIn()
    sdk.default_status = vq.constant.CSDK_OPERATE_SUCCESS
    sdk.market_enable(seed, tick_interval=tick_interval, length=length)
    return sdk
