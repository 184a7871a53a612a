"""Atheris target: the session-file reader (c_sdk_tools.recording.from_bytes, which read() uses,
and the same reader over a file read in blocks, which stream() uses), dump, and the figures of
stats and report. A file the reader accepts must dump without an exception, with every line free
of control characters and bounded in length whatever the nesting, also through the filters; its
figures and its page must come out too; read in blocks, it must give the same records (or the
same refusal); any other file must be refused with RecordingError. Run by `make fuzz-recording`:

    python tests/fuzz/fuzz_reader.py CORPUS_DIR SEED_DIR -max_total_time=120
"""

import io
import sys

import atheris

with atheris.instrument_imports():
    from c_sdk_tools import recording, report, stats

# A record's values show at most 160 bytes each (4 characters a byte escaped), 255 of them, and
# the indentation stops at MAX_INDENT levels: a line is bounded whatever the file holds.
LINE_LIMIT = 255 * (160 * 4 + 40) + 2 * recording.MAX_INDENT + 200
recording._BLOCK = 7  # blocks far smaller than a record: every record crosses a block's end


def check(lines):
    for line in lines:
        if len(line) > LINE_LIMIT or any(not c.isprintable() for c in line):
            raise AssertionError(f"a dump line that a terminal must not get: {line[:200]!r}")


def in_blocks(data: bytes):
    """The records as stream() reads them, or the refusal."""
    try:
        rec = recording._open(data[:5], io.BytesIO(data[5:]).read, "fuzz")
        return list(rec.records), rec.complete, rec.end_note
    except recording.RecordingError as e:
        return str(e)


def test_one_input(data: bytes) -> None:
    try:
        rec = recording.from_bytes(data, "fuzz")
    except recording.RecordingError as e:
        if in_blocks(data) != str(e):
            raise AssertionError(f"read in blocks: {in_blocks(data)!r}, whole: {e}") from None
        return
    if in_blocks(data) != (rec.records, rec.complete, rec.end_note):
        raise AssertionError("the records read in blocks differ from those of the whole file")
    check(recording.dump_lines(rec))
    names = sorted({r.function for r in rec.records if r.function})[:2]
    check(recording.dump_lines(rec, functions=names, calls="1-3,5-", events=False))
    check(recording.dump_lines(rec, calls="-2", events=True))
    check(recording.dump_lines(rec, event_numbers="1-3,5-"))
    check(stats.table(stats.stats(rec)))
    check(stats.table(stats.stats(rec, functions=names, calls="2-4")))
    report.page(stats.collect(rec, timeline=True))


def main() -> None:
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
