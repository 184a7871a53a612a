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

# A record's values show at most 160 bytes each (4 characters a byte escaped), 255 of them, and
# the indentation stops at MAX_INDENT levels: a line is bounded whatever the file holds.
LINE_LIMIT = 255 * (160 * 4 + 40) + 2 * recording.MAX_INDENT + 200


def check(lines):
    for line in lines:
        if len(line) > LINE_LIMIT or any(not c.isprintable() for c in line):
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
    check(recording.dump_lines(rec, event_numbers="1-3,5-"))


def main() -> None:
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
