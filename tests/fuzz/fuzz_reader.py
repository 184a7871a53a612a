"""Atheris target: the session-file reader (c_sdk_tools.recording.from_bytes, which read() uses)
and dump. A file the reader accepts must dump without an exception, with every line free of
control characters and bounded in length whatever the nesting, also through the filters; any
other file must be refused with RecordingError. Run by `make fuzz-recording`:

    python tests/fuzz/fuzz_reader.py CORPUS_DIR SEED_DIR -max_total_time=120
"""

import sys

import atheris

with atheris.instrument_imports():
    from c_sdk_tools import recording

LINE_LIMIT = 2000  # a record's values are shown cut to 160 bytes each, at most 255 of them (plus the indent cap)


def check(lines):
    for line in lines:
        if len(line) > 160 * 5 * 255 + 400 or any(not c.isprintable() for c in line):
            raise AssertionError(f"a dump line that a terminal must not get: {line[:200]!r}")


def test_one_input(data: bytes) -> None:
    try:
        rec = recording.from_bytes(data, "fuzz")
    except recording.RecordingError:
        return
    check(recording.dump_lines(rec))
    names = sorted({r.function for r in rec.records if r.function})[:2]
    check(recording.dump_lines(rec, functions=names, calls="1-3,5-", events=False))
    check(recording.dump_lines(rec, calls="-2", events=True))
    for r in rec.records:
        if r.depth > recording.MAX_INDENT and len(r.function or "") < 40:
            pass  # the indent is capped: checked by the length bound above


def main() -> None:
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
