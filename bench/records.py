"""Record classes against the same classes written in Python.

Times property reads and writes, item reads and writes, __getattr__ reads, membership and
construction of c_sdk's record classes and of pure-Python classes with __slots__ and property
implementing the same methods, in one process (timeit, median of repeats), and prints a table.

    PYTHONPATH=<build dir>:standin/python python3 bench/records.py [--quick] [--check]

--check exits with status 1 when any c_sdk operation is slower than its Python counterpart.
"""

import argparse
import statistics
import sys
import timeit

import c_sdk

TICK_FIELDS = ["quotes", "symbol", "created_at", "price", "open", "high", "low", "cum_volume", "cum_amount",
               "cum_position", "last_amount", "last_volume", "trade_type", "receive_local_time"]
BAR_FIELDS = ["symbol", "eob", "bob", "open", "close", "high", "low", "volume", "amount", "pre_close", "position",
              "frequency", "receive_local_time"]


def python_class(name, fields, contains=False):
    """The record class `name` as a class statement would write it."""
    lines = [
        f"class {name}(object):",
        "    __slots__ = ['data']",
        "    def __init__(self, data):",
        "        self.data = data",
        "    def __getitem__(self, item):",
        "        return self.data.get(item)",
        "    def __setitem__(self, item, value):",
        "        self.data[item] = value",
    ]
    if contains:
        lines += ["    def __contains__(self, key):", "        return key in self.data"]
    lines += [
        "    def __getattr__(self, item):",
        "        return self.data.get(item)",
        "    def __setattr__(self, item, value):",
        "        if item != 'data':",
        "            self.data[item] = value",
        "        else:",
        f"            super({name}, self).__setattr__(item, value)",
        "    def __str__(self):",
        "        return self.data.__str__()",
        "    def __repr__(self):",
        "        return self.data.__repr__()",
    ]
    for field in fields:
        lines += [
            "    @property",
            f"    def {field}(self):",
            f"        return self.data.get({field!r})",
            f"    @{field}.setter",
            f"    def {field}(self, value):",
            f"        self.data[{field!r}] = value",
        ]
    namespace = {}
    exec("\n".join(lines), namespace)
    return namespace[name]


PyTick = python_class("TickLikeDict2", TICK_FIELDS)
PyBar = python_class("BarLikeDict2", BAR_FIELDS, contains=True)
PyObject_ = python_class("ObjectLikeDict2", [])

TICK = {field: 1.0 for field in TICK_FIELDS}
BAR = {field: 1.0 for field in BAR_FIELDS}

# (label, statement, setup using the names Tick, Bar, Obj for the classes under test)
CASES = [
    ("tick property read", "t.price", "t = Tick(dict(TICK))"),
    ("tick property write", "t.price = 2.0", "t = Tick(dict(TICK))"),
    ("tick item read", "t['price']", "t = Tick(dict(TICK))"),
    ("tick item write", "t['price'] = 2.0", "t = Tick(dict(TICK))"),
    ("tick construction", "Tick(d)", "d = dict(TICK)"),
    ("bar property read", "b.close", "b = Bar(dict(BAR))"),
    ("bar property write", "b.close = 2.0", "b = Bar(dict(BAR))"),
    ("bar membership", "'close' in b", "b = Bar(dict(BAR))"),
    ("bar construction", "Bar(d)", "d = dict(BAR)"),
    ("object attribute read", "o.price", "o = Obj(dict(TICK))"),
    ("object attribute write", "o.price = 2.0", "o = Obj(dict(TICK))"),
]


def per_call_ns(stmt, setup, classes, number, repeat):
    namespace = dict(classes, TICK=TICK, BAR=BAR)
    timer = timeit.Timer(stmt, setup, globals=namespace)
    return statistics.median(timer.repeat(repeat=repeat, number=number)) / number * 1e9


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer, shorter runs")
    parser.add_argument("--check", action="store_true", help="fail when c_sdk is slower anywhere")
    args = parser.parse_args(argv)
    number, repeat = (20_000, 5) if args.quick else (200_000, 9)

    native = {"Tick": c_sdk.TickLikeDict2, "Bar": c_sdk.BarLikeDict2, "Obj": c_sdk.ObjectLikeDict2}
    python = {"Tick": PyTick, "Bar": PyBar, "Obj": PyObject_}

    print(f"Python {sys.version.split()[0]}, {number} calls x {repeat} repeats, median ns per call")
    print(f"{'operation':<24} {'c_sdk':>8} {'python':>8} {'speed-up':>9}")
    slower = []
    for label, stmt, setup in CASES:
        ours = per_call_ns(stmt, setup, native, number, repeat)
        theirs = per_call_ns(stmt, setup, python, number, repeat)
        print(f"{label:<24} {ours:8.1f} {theirs:8.1f} {theirs / ours:8.2f}x")
        if ours > theirs:
            slower.append(label)
    if slower:
        print("slower than Python:", ", ".join(slower))
    return 1 if args.check and slower else 0


if __name__ == "__main__":
    sys.exit(main())
