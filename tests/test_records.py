"""The record classes: the class objects and their functions, what records do (checked against the
same classes written in Python), argument errors, a missing `data`, iteration, and the shortcuts
staying right when a class, its bases or the builtins it was made from change."""

import copy
import inspect
import operator
import pickle
import re
import sys
import textwrap
import traceback
import weakref

import pytest

import c_sdk
from conftest import run_python

QUOTE = ["bid_p", "bid_v", "ask_p", "ask_v"]
TICK = ["quotes", "symbol", "created_at", "price", "open", "high", "low", "cum_volume", "cum_amount",
        "cum_position", "last_amount", "last_volume", "trade_type", "receive_local_time"]
BAR = ["symbol", "eob", "bob", "open", "close", "high", "low", "volume", "amount", "pre_close", "position",
       "frequency", "receive_local_time"]
ITEMS = ["__init__", "__getitem__", "__setitem__", "__getattr__", "__setattr__", "__str__", "__repr__"]

# name -> (methods in namespace order, properties, whether the properties have setters)
CLASSES = {
    "QuoteItemLikeDict2": (ITEMS, QUOTE, False),
    "TickLikeDict2": (ITEMS, TICK, True),
    "BarLikeDict2": (ITEMS[:3] + ["__contains__"] + ITEMS[3:], BAR, True),
    "ObjectLikeDict2": (["__init__", "__getitem__", "__getattr__", "__setitem__", "__setattr__", "__str__", "__repr__"],
                        [], False),
}
NAMES = list(CLASSES)
PARAMS = {"__init__": "self data", "__getitem__": "self item", "__getattr__": "self item", "__contains__": "self key",
          "__setitem__": "self item value", "__setattr__": "self item value", "__str__": "self", "__repr__": "self"}


def python_record(name):
    """The record class `name` as Python code would make it (the reference for what records do)."""
    methods, fields, writable = CLASSES[name]
    this = []

    def __init__(self, data): self.data = data
    def __getitem__(self, item): return self.data.get(item)
    def __getattr__(self, item): return self.data.get(item)
    def __setitem__(self, item, value): self.data[item] = value
    def __contains__(self, key): return key in self.data
    def __str__(self): return self.data.__str__()
    def __repr__(self): return self.data.__repr__()

    def __setattr__(self, item, value):
        if item != "data":
            self.data[item] = value
        else:
            super(this[0], self).__setattr__(item, value)

    body = locals()
    ns = {"__module__": "c_sdk", "__qualname__": name, "__slots__": ["data"]}
    ns.update((m, body[m]) for m in methods)
    for field in fields:
        ns[field] = property(lambda self, key=field: self.data.get(key))
        if writable:
            ns[field] = ns[field].setter(lambda self, value, key=field: self.data.__setitem__(key, value))
    this.append(type(name, (object,), ns))
    return this[0]


def functions(name):
    """(attribute, function, parameters) for every function of the class."""
    cls = getattr(c_sdk, name)
    methods, fields, writable = CLASSES[name]
    out = [(m, vars(cls)[m], PARAMS[m]) for m in methods]
    for field in fields:
        out.append((field, vars(cls)[field].fget, "self"))
        if writable:
            out.append((field, vars(cls)[field].fset, "self value"))
    return out


ALL_FUNCTIONS = [(name,) + f for name in NAMES for f in functions(name)]


def tb_names(exc):
    return [frame.name for frame in traceback.extract_tb(exc.__traceback__)]


class Mapping:
    """A mapping that is not a dict, logging what records ask of it."""

    def __init__(self, **items):
        self.items, self.log = dict(items), []

    def get(self, key):
        self.log.append(("get", key))
        return self.items.get(key, "absent")

    def __setitem__(self, key, value):
        self.log.append(("set", key, value))
        self.items[key] = value

    def __contains__(self, key):
        return key in self.items

    def __str__(self):
        return "str of mapping"

    def __repr__(self):
        return "repr of mapping"


class DictWithGet(dict):
    def get(self, key):
        return ("overridden", key)


class Limited(dict):
    """Fails on the 50th read instead of letting an endless index iteration hang the test."""

    reads = 0

    def get(self, key):
        self.reads += 1
        if self.reads > 50:
            raise RuntimeError("endless iteration")
        return dict.get(self, key)


class StrSub(str):
    pass


class NeverDifferent:
    def __ne__(self, other):
        return False


class BadCompare:
    def __ne__(self, other):
        raise ValueError("no comparison")


DATA = {
    "dict": lambda f: {f: "value", "other": 1},
    "dict subclass": lambda f: DictWithGet({f: "value"}),
    "mapping": lambda f: Mapping(**{f: "value"}),
    "None": lambda f: None,
    "tuple": lambda f: ("value",),
}


def operations(f):
    return [
        ("field read", lambda r: getattr(r, f)),
        ("absent attribute", lambda r: r.absent),
        ("special probe", lambda r: getattr(r, "__deepcopy__", "none")),
        ("item read", lambda r: r[f]),
        ("absent item", lambda r: r["absent"]),
        ("unhashable item", lambda r: r[[]]),
        ("field write", lambda r: setattr(r, f, 5)),
        ("item write", lambda r: operator.setitem(r, "k", 6)),
        ("item delete", lambda r: operator.delitem(r, f)),
        ("field delete", lambda r: delattr(r, f)),
        ("data read", lambda r: r.data),
        ("data replaced", lambda r: setattr(r, "data", {"new": 1}) or r.data),
        ("__class__ write", lambda r: setattr(r, "__class__", int)),
        ("str subclass 'data'", lambda r: setattr(r, StrSub("data"), {"sub": 1}) or r.data),
        ("str subclass key", lambda r: setattr(r, StrSub("datum"), 1)),
        ("object.__setattr__", lambda r: object.__setattr__(r, "data", {"object": 1}) or r.data),
        ("'data' not interned", lambda r: type(r).__setattr__(r, "".join(["da", "ta"]), {"built": 1}) or r.data),
        ("non-str key", lambda r: type(r).__setattr__(r, 5, 1)),
        ("never different", lambda r: type(r).__setattr__(r, NeverDifferent(), 1)),
        ("failing compare", lambda r: type(r).__setattr__(r, BadCompare(), 1)),
        ("str", str),
        ("repr", repr),
        ("explicit __str__", lambda r: r.__str__()),
        ("__getattr__ of data", lambda r: r.__getattr__("data")),
        ("membership", lambda r: f in r if isinstance(r, (c_sdk.BarLikeDict2, PY["BarLikeDict2"])) else None),
    ]


PY = {name: python_record(name) for name in NAMES}


def outcome(op, record, data):
    try:
        result = ("ok", repr(op(record)))
    except Exception as e:  # noqa: BLE001 -- the outcome is what is compared
        result = ("raised", type(e), str(e))
    state = vars(data) if isinstance(data, Mapping) else data
    return result, repr(state), repr(object.__getattribute__(record, "data"))


# ---- class objects -------------------------------------------------------------------------------


@pytest.mark.parametrize("name", NAMES)
def test_class_object(name):
    cls, reference = getattr(c_sdk, name), PY[name]
    assert type(cls) is type and cls.__bases__ == (object,)
    assert (cls.__module__, cls.__qualname__, cls.__doc__, cls.__slots__) == ("c_sdk", name, None, ["data"])
    # The same namespace, in the same order, as the class made from Python functions.
    assert list(vars(cls)) == list(vars(reference))
    for key, value in vars(cls).items():
        if isinstance(value, property):
            assert (value.fset is None) == (not CLASSES[name][2]) and value.fdel is None and value.__doc__ is None
    assert cls.__dictoffset__ == 0 and cls.__weakrefoffset__ == 0
    with pytest.raises(TypeError):
        weakref.ref(cls({}))


@pytest.mark.parametrize("name, attr, fn, params", ALL_FUNCTIONS, ids=lambda v: v if isinstance(v, str) else "")
def test_functions(name, attr, fn, params):
    cls = getattr(c_sdk, name)
    assert (fn.__name__, fn.__qualname__, fn.__module__, fn.__doc__) == (attr, f"{name}.{attr}", "c_sdk", None)
    assert list(inspect.signature(fn).parameters) == params.split()
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty
               for p in inspect.signature(fn).parameters.values())
    # Bound like Python functions.
    record = cls({})
    bound = fn.__get__(record, cls)
    assert bound.__self__ is record and bound.__func__ is fn
    assert fn.__get__(None, cls) is fn
    assert list(inspect.signature(bound).parameters) == params.split()[1:]


@pytest.mark.parametrize("name", NAMES)
def test_methods_are_pickled_and_copied_by_reference(name):
    for method in CLASSES[name][0]:
        fn = vars(getattr(c_sdk, name))[method]
        assert pickle.loads(pickle.dumps(fn)) is fn and copy.deepcopy(fn) is fn


# ---- what records do ------------------------------------------------------------------------------


@pytest.mark.parametrize("through", ["class", "subclass"])
@pytest.mark.parametrize("kind", DATA)
@pytest.mark.parametrize("name", NAMES)
def test_records_do_what_the_python_classes_do(name, kind, through):
    """Every operation has the outcome (result or error, and what it left in the mapping and the
    record) it has on the class written in Python. Instances of a subclass take the ordinary paths
    instead of the shortcuts."""
    ours, theirs = getattr(c_sdk, name), PY[name]
    if through == "subclass":
        ours, theirs = type(name, (ours,), {"__slots__": ()}), type(name, (theirs,), {"__slots__": ()})
    field = (CLASSES[name][1] or ["price"])[0]
    for label, op in operations(field):
        data_ours, data_theirs = DATA[kind](field), DATA[kind](field)
        assert outcome(op, ours(data_ours), data_ours) == outcome(op, theirs(data_theirs), data_theirs), label


def test_quotes_and_item_values_are_the_stored_objects():
    quotes, value = [object()], object()
    tick = c_sdk.TickLikeDict2({"quotes": quotes, "k": value})
    assert tick.quotes is quotes and tick["k"] is value and tick.k is value
    quote = c_sdk.QuoteItemLikeDict2({})
    quote.bid_p = 2  # through __setattr__: the property has no setter
    assert quote.data == {"bid_p": 2}
    with pytest.raises(AttributeError, match="has no setter|can't set attribute"):
        vars(c_sdk.QuoteItemLikeDict2)["bid_p"].__set__(quote, 3)


def test_keyword_arguments():
    record = c_sdk.ObjectLikeDict2(data={})
    record.__setitem__(value=1, item="a")
    c_sdk.ObjectLikeDict2.__setattr__(self=record, item="b", value=2)
    assert record.data == {"a": 1, "b": 2} and record.__getitem__(item="b") == 2
    tick = c_sdk.TickLikeDict2({})
    c_sdk.TickLikeDict2.price.fset(tick, value=3)
    assert tick.data == {"price": 3}


@pytest.mark.parametrize(
    "call, message, entry",
    [
        (lambda: c_sdk.ObjectLikeDict2(), "__init__() takes exactly 2 positional arguments (1 given)", "__init__"),
        (lambda: c_sdk.BarLikeDict2({}, {}), "__init__() takes exactly 2 positional arguments (3 given)", "__init__"),
        (lambda: c_sdk.TickLikeDict2({}).__getitem__(), "__getitem__() takes exactly 2 positional arguments (1 given)",
         "__getitem__"),
        (lambda: c_sdk.TickLikeDict2({}).__setattr__("a"),
         "__setattr__() takes exactly 3 positional arguments (2 given)", "__setattr__"),
        (lambda: c_sdk.BarLikeDict2({}).__contains__(key=1, other=2),
         "__contains__() got an unexpected keyword argument 'other'", "__contains__"),
        (lambda: c_sdk.ObjectLikeDict2.__getattr__(c_sdk.ObjectLikeDict2({}), "x", self=1),
         "__getattr__() got multiple values for keyword argument 'self'", "__getattr__"),
        (lambda: c_sdk.TickLikeDict2.price.fset(c_sdk.TickLikeDict2({})),
         "price() takes exactly 2 positional arguments (1 given)", "price"),
        (lambda: c_sdk.QuoteItemLikeDict2({}).__str__(1), "__str__() takes exactly one argument (2 given)", "__str__"),
        (lambda: c_sdk.QuoteItemLikeDict2.__repr__(), "__repr__() takes exactly one argument (0 given)", "__repr__"),
        (lambda: c_sdk.QuoteItemLikeDict2({}).__repr__(x=1), "__repr__() takes no keyword arguments", "__repr__"),
        (lambda: c_sdk.BarLikeDict2.eob.fget(), "eob() takes exactly one argument (0 given)", "eob"),
    ],
)
def test_argument_errors(call, message, entry):
    with pytest.raises(TypeError) as err:
        call()
    assert str(err.value) == message
    assert tb_names(err.value)[-1].startswith("c_sdk.") and tb_names(err.value)[-1].endswith("." + entry)


@pytest.mark.parametrize(
    "call, error, entry",
    [
        (lambda: c_sdk.ObjectLikeDict2(None).x, AttributeError, "c_sdk.ObjectLikeDict2.__getattr__"),
        (lambda: setattr(c_sdk.ObjectLikeDict2(None), "x", 1), TypeError, "c_sdk.ObjectLikeDict2.__setattr__"),
        (lambda: c_sdk.TickLikeDict2.quotes.fget(c_sdk.TickLikeDict2(())), AttributeError,
         "c_sdk.TickLikeDict2.quotes"),
        (lambda: c_sdk.TickLikeDict2({})[[]], TypeError, "c_sdk.TickLikeDict2.__getitem__"),
        (lambda: operator.setitem(c_sdk.BarLikeDict2(()), "k", 1), TypeError, "c_sdk.BarLikeDict2.__setitem__"),
        (lambda: [] in c_sdk.BarLikeDict2({}), TypeError, "c_sdk.BarLikeDict2.__contains__"),
        (lambda: str(c_sdk.QuoteItemLikeDict2.__new__(c_sdk.QuoteItemLikeDict2)), AttributeError,
         "c_sdk.QuoteItemLikeDict2.__str__"),
        (lambda: c_sdk.TickLikeDict2.__setattr__(5, "data", 1), TypeError, "c_sdk.TickLikeDict2.__setattr__"),
    ],
)
def test_errors_get_the_function_traceback_entry(call, error, entry):
    with pytest.raises(error) as err:
        call()
    assert tb_names(err.value)[-1] == entry


def test_mapping_errors_pass_through_unchanged():
    class Failing(dict):
        def get(self, key):
            raise KeyError(key)

    with pytest.raises(KeyError) as err:
        c_sdk.TickLikeDict2(Failing()).price
    names = tb_names(err.value)
    assert names[-2:] == ["c_sdk.TickLikeDict2.price", "get"]


# ---- a missing `data` -----------------------------------------------------------------------------

EMPTY_READS = [
    ("attribute", lambda r: r.x), ("item", lambda r: r["x"]), ("attribute write", lambda r: setattr(r, "x", 1)),
    ("item write", lambda r: operator.setitem(r, "x", 1)), ("str", str), ("repr", repr), ("data", lambda r: r.data),
    ("field", lambda r: r.symbol if isinstance(r, (c_sdk.TickLikeDict2, c_sdk.BarLikeDict2)) else r.y),
    ("membership", lambda r: r.__contains__("x") if isinstance(r, c_sdk.BarLikeDict2) else r.z),
]


@pytest.mark.parametrize("through", ["class", "subclass"])
@pytest.mark.parametrize("emptied", ["never filled", "deleted"])
@pytest.mark.parametrize("name", NAMES)
def test_missing_data_is_an_attribute_error_naming_it(name, emptied, through):
    cls = getattr(c_sdk, name)
    if through == "subclass":
        cls = type("Sub", (cls,), {"__slots__": ()})
    for label, op in EMPTY_READS:
        if emptied == "never filled":
            record = cls.__new__(cls)
        else:
            record = cls({"x": 1})
            del record.data
        with pytest.raises(AttributeError, match=r"has no attribute 'data'"):
            op(record)
    record.data = {"x": 2}
    assert record.x == 2


@pytest.fixture
def restore_classes():
    """Puts the namespaces of the record classes back as they were (when called, and after the
    test)."""
    saved = {getattr(c_sdk, name): dict(vars(getattr(c_sdk, name))) for name in NAMES}

    def restore():
        for cls, ns in saved.items():
            for key in [k for k in vars(cls) if k not in ns]:
                delattr(cls, key)
            for key, value in ns.items():
                if vars(cls)[key] is not value:
                    setattr(cls, key, value)

    yield restore
    restore()


@pytest.mark.skipif(sys.version_info < (3, 11), reason="3.10 objects lack __getstate__: __getattr__ answers None")
@pytest.mark.parametrize("name", NAMES)
def test_records_pickle_and_copy(name, restore_classes):
    # Unpickling probes __setstate__ on a record whose `data` is still missing: an AttributeError
    # there (not a RecursionError) lets the slot state be applied.
    cls = getattr(c_sdk, name)
    record = cls({"k": [1]})
    for clone in (pickle.loads(pickle.dumps(record)), copy.copy(record), copy.deepcopy(record)):
        assert type(clone) is cls and clone.data == {"k": [1]}
    assert copy.copy(record).data is record.data and copy.deepcopy(record).data is not record.data


# ---- iteration ------------------------------------------------------------------------------------


def refusal(name, operation):
    """The interpreter's own words for `operation` on a plain object of a class named `name` that
    refuses iteration (they change between versions)."""
    with pytest.raises(TypeError) as refused:
        operation(type(name, (), {"__iter__": None})())
    return re.escape(str(refused.value))


@pytest.mark.parametrize("name", NAMES)
def test_records_are_not_iterable(name):
    cls = getattr(c_sdk, name)
    record = cls(Limited({0: "a", "k": "v"}))
    for iterate in (iter, list, tuple, lambda r: [*r], lambda r: dict.fromkeys(r), sorted):
        with pytest.raises(TypeError, match=refusal(name, iterate)):
            iterate(record)
    if name == "BarLikeDict2":
        assert "k" in record and "a" not in record and 0 in record
    else:
        with pytest.raises(TypeError, match=refusal(name, lambda r: "k" in r)):
            "k" in record
    assert record.data.reads == 0


def test_iteration_stays_refused_through_the_class_lifecycle():
    check("""
        import c_sdk

        def refused(record):
            try:
                iter(record)
            except TypeError:
                return True
            return False

        for cls in (c_sdk.QuoteItemLikeDict2, c_sdk.TickLikeDict2, c_sdk.BarLikeDict2, c_sdk.ObjectLikeDict2):
            record = cls({})
            cls.__iter__ = lambda self: iter(("own",))
            assert list(record) == ["own"]
            del cls.__iter__
            record["k"]  # the next use of the class puts the refusal back
            assert refused(record)
            cls.__bases__ = (object,)
            record.k = 1
            assert refused(record)

            class Sub(cls):
                pass
            assert refused(Sub({}))  # from the first construction on

            class Sequence(cls):
                def __getitem__(self, index):
                    return [1, 2, 3][index]
            assert list(Sequence({})) == [1, 2, 3]  # a subclass made a sequence keeps iterating
    """)


# ---- changed classes ---------------------------------------------------------------------------------

FIELD = {name: (CLASSES[name][1] or ["price"])[0] for name in NAMES}


def own_getattribute(self, name):
    return {"absent": "changed"} if name == "data" else object.__getattribute__(self, name)


# change: (what is set on the class, what then holds for a record of it holding {<field>: "stored"})
CHANGES = {
    "data replaced": (lambda f: {"data": property(lambda self: {f: "changed"})},
                      lambda cls, r, f: (getattr(r, f), r[f]) == ("changed", "changed")),
    "__getattribute__ added": (lambda f: {"__getattribute__": own_getattribute},
                               lambda cls, r, f: (r.absent, r["absent"]) == ("changed", "changed")),
    "__setattr__ replaced": (lambda f: {"__setattr__": lambda self, k, v: object.__setattr__(self, k, ("changed", v))},
                             lambda cls, r, f: object.__getattribute__(cls({}), "data") == ("changed", {})),
    "__getitem__ replaced": (lambda f: {"__getitem__": lambda self, key: "changed"},
                             lambda cls, r, f: r[f] == "changed"),
    "__getattr__ replaced": (lambda f: {"__getattr__": lambda self, key: "changed"},
                             lambda cls, r, f: r.absent == "changed"),
    "__delitem__ added": (lambda f: {"__delitem__": lambda self, key: self.data.pop(key)},
                          lambda cls, r, f: operator.delitem(r, f) is None and r.data == {}),
    "field replaced": (lambda f: {f: property(lambda self: "changed")},
                       lambda cls, r, f: getattr(r, f) == "changed"),
    "unrelated attribute": (lambda f: {"extra": "changed"},
                            lambda cls, r, f: (r.extra, r.absent) == ("changed", None)),
}


@pytest.mark.parametrize("change", CHANGES)
@pytest.mark.parametrize("name", NAMES)
def test_changed_classes(name, change, restore_classes):
    """A change to the class takes effect at once, and changed back, the records are as before."""
    cls, field = getattr(c_sdk, name), FIELD[name]
    record = cls({field: "stored"})
    assert (getattr(record, field), record[field]) == ("stored", "stored")
    attributes, holds = CHANGES[change]
    for key, value in attributes(field).items():
        setattr(cls, key, value)
    assert holds(cls, record, field)
    restore_classes()
    record.data = {field: "stored"}
    record["k"] = 1
    assert (getattr(record, field), record[field], record.absent, record.data) == (
        "stored", "stored", None, {field: "stored", "k": 1})


@pytest.mark.parametrize("name", [n for n in NAMES if CLASSES[n][1]])
def test_a_property_re_pointed_in_place(name, restore_classes):
    """`property.__init__` gives a field another getter without touching the class (which the
    other tests share: restore_classes keeps it to one thread under pytest-run-parallel)."""
    cls, field = getattr(c_sdk, name), FIELD[name]
    prop, record = vars(cls)[field], cls({field: "stored"})
    getter, setter = prop.fget, prop.fset
    assert getattr(record, field) == "stored"
    try:
        prop.__init__(lambda self: "changed", setter)
        assert getattr(record, field) == "changed"
    finally:
        prop.__init__(getter, setter)
    assert getattr(record, field) == "stored"


def test_a_class_changed_while_it_is_examined(race_hook):
    # Another thread changes a class just before its stamp is read (and a lookup gives it a stamp
    # at once): a stamp read after the class was examined would vouch for what the class was from
    # then on, its `data` slot or its properties. In a fresh interpreter: the classes as made.
    check("""
        import sys, c_sdk
        CHANGES = {
            "class stamp": (lambda cls, field: setattr(cls, "data", property(lambda self: {field: "other"})),
                            lambda record, field: record[field], "other"),
            "fields stamp": (lambda cls, field: setattr(cls, field, property(lambda self: "replaced")),
                             getattr, "replaced"),
        }
        for name, field in [("BarLikeDict2", "close"), ("TickLikeDict2", "price"), ("QuoteItemLikeDict2", "bid_p")]:
            for point, (change, read, expected) in CHANGES.items():
                cls = getattr(c_sdk, name)
                saved = dict(vars(cls))
                record = cls({field: "stored"})
                assert read(record, field) == "stored"
                cls.unrelated = 1  # the class is examined again at the next read
                changed = []
                def hook(at, subject):
                    if at == point and subject is cls and not changed:
                        changed.append(at)
                        change(cls, field)
                        getattr(cls, field)
                sys._csdk_race_hook = hook
                assert [read(record, field) for _ in range(3)] == [expected] * 3, (name, point)
                assert changed == [point], (name, point)
                del sys._csdk_race_hook
                for key in [k for k in vars(cls) if k not in saved]:
                    delattr(cls, key)
                for key, value in saved.items():
                    if vars(cls)[key] is not value:
                        setattr(cls, key, value)
    """)


def test_classes_follow_the_builtins_they_are_made_from():
    # A class statement takes `object` and `property` from the builtins and the metaclass from the
    # base; the records still work (the ordinary way) on whatever that gives them.
    check("""
        import builtins, functools, platform  # noqa: F401  (what the import needs, made already)
        import vq.constant, vq.utils  # noqa: F401
        made = []
        class Meta(type):
            def __new__(mcls, name, bases, ns):
                made.append(name)
                if "__setattr__" in ns:  # before the class exists: super(<class>, self) has no class yet
                    try:
                        ns["__setattr__"](object(), "data", 1)
                    except RuntimeError as e:
                        assert str(e) == "super(): __class__ cell is empty"
                    else:
                        raise AssertionError("no error")
                return super().__new__(mcls, name, bases, ns)
        class Base(metaclass=Meta):
            __slots__ = ()
        class Property(property):
            pass
        builtins.object, builtins.property = Base, Property
        import c_sdk
        assert made == ["Base", "QuoteItemLikeDict2", "TickLikeDict2", "BarLikeDict2", "ObjectLikeDict2"]
        tick = c_sdk.TickLikeDict2({"price": 1})
        assert type(c_sdk.TickLikeDict2) is Meta and c_sdk.TickLikeDict2.__bases__ == (Base,)
        assert type(vars(c_sdk.TickLikeDict2)["price"]) is Property
        tick.price = 2
        tick["k"] = 3
        assert (tick.price, tick["k"], tick.data) == (2, 3, {"price": 2, "k": 3})
        try:
            iter(tick)
        except TypeError:
            pass
        else:
            raise AssertionError("iterable")
    """)


@pytest.mark.parametrize("name", ["object", "property"])
def test_missing_builtins_fail_the_import(name):
    check(f"""
        import builtins, functools, platform, traceback  # noqa: F401
        import vq.constant, vq.utils  # noqa: F401
        saved = builtins.{name}
        del builtins.{name}
        try:
            import c_sdk
        except NameError as e:
            error = e
        else:
            raise AssertionError("imported")
        builtins.{name} = saved
        assert str(error) == "name '{name}' is not defined", error
        assert "init c_sdk" in [f.name for f in traceback.extract_tb(error.__traceback__)]
        import c_sdk
        assert c_sdk.TickLikeDict2({{"price": 1}}).price == 1
    """)


def test_classes_of_a_failed_import_keep_working():
    # An import that fails after the first class was made, then one that succeeds: the first
    # class of the failed attempt still behaves, though the module made new classes since.
    check("""
        import builtins, functools, gc, platform  # noqa: F401
        import vq.constant, vq.utils  # noqa: F401
        saved = builtins.property
        class NoSetter(property):
            def setter(self, fn):
                raise LookupError("no setters today")
        builtins.property = NoSetter
        try:
            import c_sdk
        except LookupError:
            pass
        builtins.property = saved
        import c_sdk
        old, = [c for c in gc.get_objects() if isinstance(c, type) and c.__name__ == "QuoteItemLikeDict2"
                and c is not c_sdk.QuoteItemLikeDict2]
        quote = old({"bid_p": 1})
        quote["ask_p"] = 2
        assert (quote["bid_p"], quote.bid_p, quote.ask_p, quote.absent) == (1, 1, 2, None)
        try:
            del quote["bid_p"]
        except AttributeError as e:
            assert str(e) == "__delitem__"
        else:
            raise AssertionError("deleted")
    """)


def check(code):
    result = run_python(textwrap.dedent(code))
    assert result.returncode == 0, result.stdout + result.stderr
