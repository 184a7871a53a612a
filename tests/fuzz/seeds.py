"""Seeds for the session-file fuzzers, cut from a recording of the demo (make fuzz-recording):

    python tests/fuzz/seeds.py DEMO.vqrec OUT_DIR

Each seed is the file's header and a run of whole records (the start of the session, the
records around each kind of call, event and return, the end), small enough for the fuzzers'
length limit, so that every record shape of a real session is in the corpus; each also as a
version 1 file (without the ends of the events' deliveries), the older version the readers read.
"""

import os
import sys

from c_sdk_tools import recording

LIMIT = 16 * 1024


def main(argv: list[str]) -> int:
    path, out = argv
    blob = open(path, "rb").read()
    rec = recording.read(path)
    header = blob[: rec.records[0].offset]
    ends = [r.offset for r in rec.records[1:]] + [len(blob)]
    spans = [(r.offset, end) for r, end in zip(rec.records, ends)]
    os.makedirs(out, exist_ok=True)
    seeds = {}

    def add(name, first, last):
        # records from `first` on (before `last`), up to a return of a call opened before it, or
        # the end of the delivery of an event delivered before it
        body, older, opened, delivering = b"", b"", set(), {}
        for r, (start, end) in zip(rec.records[first:last], spans[first:last]):
            if len(header) + len(body) + end - start > LIMIT or (r.kind == "return" and r.call not in opened):
                break
            if r.kind == "handled" and not delivering.get(r.thread):
                break
            opened.add(r.call)
            delivering[r.thread] = delivering.get(r.thread, 0) + (r.kind == "event") - (r.kind == "handled")
            body += blob[start:end]
            older += blob[start:end] if r.kind != "handled" else b""
        seeds[name] = header + body
        if rec.version == 2:
            seeds[name + "-v1"] = header[:8] + b"\x01\x00" + header[10:] + older

    add("start-1", 0, 1)
    add("start-10", 0, 10)
    add("start-40", 0, 40)
    add("whole", 0, len(spans))
    seen = set()
    for k, r in enumerate(rec.records):
        key = (r.kind, r.function, r.values[0] if r.kind == "event" else None)
        if r.kind != "call" or key in seen:
            continue
        seen.add(key)
        add(f"call-{k}-{r.function}", k, k + 12)
    for name, data in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
    print(f"seeds: {len(seeds)} files in {out}, from {len(rec.records)} records of {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
