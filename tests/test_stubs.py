"""The published descriptions of the module against the module itself and tests/surface.py: the
type stub (stubs/c_sdk.pyi) and the bindings tables of docs/api.md.

Parameter names and kinds, defaults and the presence of every name are stubtest's part (`make
test` runs it); here: the types each binding accepts and returns, which stubtest cannot see, the
record classes, and what a type checker makes of the stub."""

import ast
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import c_sdk
from surface import BINDINGS, BY_NAME, EXPOSED, NAMESPACE, RECORD_CLASSES

ROOT = Path(__file__).resolve().parent.parent
STUB = ROOT / "stubs" / "c_sdk.pyi"
API_DOC = ROOT / "docs" / "api.md"

BYTES = "bytes | bytearray"
BYTES_OR_STR = "str | bytes | bytearray"  # what adapt_to_python3 lets through
PARAM_TYPES = {"int": "int", "flag": "int", "real": "float", "bool": "bool",
               "handler": "Callable[[str, bytes], object]"}
RESULT_TYPES = {"query": "tuple[int, bytes | None]", "status": "int", "none": "None", "text": "bytes",
                "address": "bytes | None", "long": "int", "real": "float"}

TREE = ast.parse(STUB.read_text(), str(STUB))
ALIASES = {node.target.id: ast.unparse(node.value) for node in TREE.body
           if isinstance(node, ast.AnnAssign) and ast.unparse(node.annotation) == "TypeAlias"}
FUNCTIONS = {node.name: node for node in TREE.body if isinstance(node, ast.FunctionDef)}
CLASSES = {node.name: node for node in TREE.body if isinstance(node, ast.ClassDef)}


def spelled(annotation):
    text = ast.unparse(annotation)
    return ALIASES.get(text, text)


def public(name):
    return not name.startswith("_") or (name.startswith("__") and name.endswith("__"))


def declared_names():
    names = set()
    for node in TREE.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            names.add(node.target.id)
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            names.update(a.asname for a in node.names if a.asname == a.name)  # explicit re-exports
    return {n for n in names if public(n)}


def test_stub_declares_every_name_of_the_namespace_and_the_handler():
    assert declared_names() == set(NAMESPACE) | {"f"}


def expected_signature(params, result, decorated):
    def type_of(kind):
        if kind in ("req", "text"):
            return BYTES_OR_STR if decorated else BYTES
        return PARAM_TYPES[kind]

    return [(name, type_of(kind)) for name, kind in params], len(params) == 1, RESULT_TYPES[result]


def stub_signature(name):
    fn = FUNCTIONS[name]
    args = fn.args
    assert not (args.vararg or args.kwarg or args.kwonlyargs or args.defaults), name
    params = [(a.arg, spelled(a.annotation)) for a in args.posonlyargs + args.args]
    return params, bool(args.posonlyargs) and not args.args, spelled(fn.returns)


@pytest.mark.parametrize("binding", BINDINGS, ids=lambda b: b.name)
def test_binding_types(binding):
    assert stub_signature(binding.name) == expected_signature(binding.params, binding.result, binding.decorated)


@pytest.mark.parametrize("name", EXPOSED)
def test_exposed_function_types(name):
    _, params, result = EXPOSED[name]
    params = [tuple(p.split(":")) for p in params.split()]
    assert stub_signature(name) == expected_signature(params, result, decorated=False)


@pytest.mark.parametrize("name", RECORD_CLASSES)
def test_record_class_members(name):
    runtime = vars(getattr(c_sdk, name))
    properties = {k: v.fset is not None for k, v in runtime.items() if isinstance(v, property)}
    methods = {k for k, v in runtime.items() if callable(v) and not isinstance(v, property)}

    stub_properties, stub_methods, stub_attributes = {}, set(), set()
    for node in CLASSES[name].body:
        if isinstance(node, ast.Expr):  # the docstring
            continue
        if isinstance(node, ast.AnnAssign):
            stub_attributes.add(node.target.id)
            continue
        decorators = [ast.unparse(d) for d in node.decorator_list]
        if decorators == ["property"]:
            stub_properties[node.name] = False
        elif decorators == [f"{node.name}.setter"]:
            stub_properties[node.name] = True
        else:
            assert not decorators, (node.name, decorators)
            stub_methods.add(node.name)
    assert stub_properties == properties  # Tick and Bar fields writable, QuoteItem's read-only
    assert stub_methods == methods
    assert stub_attributes == {"data"} == set(getattr(c_sdk, name).__slots__)


def test_every_function_and_class_says_what_it_does_and_names_its_parameters():
    undocumented = []
    for node in ast.walk(TREE):
        setter = isinstance(node, ast.FunctionDef) and any(ast.unparse(d).endswith(".setter") for d in node.decorator_list)
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)) and not setter:
            doc = ast.get_docstring(node) or ""
            params = [a.arg for a in node.args.posonlyargs + node.args.args if a.arg != "self"] \
                if isinstance(node, ast.FunctionDef) else []
            if not doc.strip() or any(not re.search(rf"(^|\n){p}: ", doc) for p in params if not node.name.startswith("__")):
                undocumented.append(node.name)
    assert undocumented == []


# What mypy makes of the stub: the lines that must be refused, and the result types it infers.
CHECKED = '''\
import c_sdk
reveal_type(c_sdk.py_vqi_get_orders("acct"))
reveal_type(c_sdk.py_vqi_get_serv_addr(b"md"))
reveal_type(c_sdk.py_vqi_get_encrypted_token())
c_sdk.py_vqi_get_cash_pb_v2("acct")  # E: not published through adapt_to_python3
c_sdk.py_vqi_get_cash_pb_v2(bytearray(b"acct"))
c_sdk.py_vqi_get_orders(req=b"")  # E: positional-only
c_sdk.py_vqi_current(symbols="A", fields="", include_call_auction=True)
c_sdk.vqi_add_bus_topic("t")  # E: an exposed function never adapts text
c_sdk.py_vqi_set_data_callback(lambda topic, payload: topic.upper() + payload.hex())
def by_bytes(topic: bytes, payload: bytes) -> None: ...
c_sdk.py_vqi_set_data_callback(by_bytes)  # E: the topic is str
tick = c_sdk.TickLikeDict2({})
tick.price = tick.price
quote = c_sdk.QuoteItemLikeDict2({})
quote.bid_p = 1  # E: read-only
for field in tick: pass  # E: not iterable
c_sdk.c_status_fail(1, cfunname="vqi_run")
'''


def test_type_checker_reading_the_stub(tmp_path):
    pytest.importorskip("mypy")
    (tmp_path / "checked.py").write_text(CHECKED)
    env = {k: v for k, v in os.environ.items() if not k.startswith("MYPY")}
    env["MYPYPATH"] = str(STUB.parent)
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--config-file", os.devnull, "--cache-dir", os.devnull,
         "--no-incremental", "--no-error-summary", "--hide-error-context", "checked.py"],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    errors = sorted({int(m.group(1)) for m in re.finditer(r"^checked\.py:(\d+): error:", result.stdout, re.M)})
    refused = [i for i, line in enumerate(CHECKED.splitlines(), 1) if "# E:" in line]
    assert errors == refused, result.stdout + result.stderr
    # mypy before 2 spells the builtins out ("builtins.int"); the wheel-only installs of a
    # free-threaded interpreter get such a mypy.
    revealed = [t.replace("builtins.", "") for t in re.findall(r'Revealed type is "(.*)"', result.stdout)]
    assert revealed == ["tuple[int, bytes | None]", "bytes | None", "bytes"], result.stdout


# ---- docs/api.md ------------------------------------------------------------------------------

DOC_KINDS = {"req": "request", "text": "text", "int": "int", "flag": "int", "real": "float", "bool": "bool",
             "handler": "handler"}


def documented_bindings():
    rows = {}
    for line in API_DOC.read_text().splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if len(cells) == 4 and cells[0].startswith("`py_"):
            rows[cells[0].strip("`")] = tuple(cells[1:])
    return rows


def test_api_doc_tables_describe_every_binding():
    expected = {}
    for b in BINDINGS:
        params = ", ".join(f"{name}: {DOC_KINDS[kind]}" for name, kind in b.params)
        if len(b.params) == 1:
            params += ", /"
        expected[b.name] = (f"`{params}`" if params else "", b.result, "yes" if b.decorated else "")
    documented = documented_bindings()
    assert sorted(documented) == sorted(BY_NAME)
    assert {n: documented[n] for n in expected if documented[n] != expected[n]} == {}


def test_api_doc_lists_every_exposed_function():
    text = API_DOC.read_text()
    missing = [doc for name, (doc, _, _) in EXPOSED.items() if f"| `{name}` | `{doc}` |" not in text]
    assert missing == []

