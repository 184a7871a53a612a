"""Which c_sdk, which SDK library, which platform package: a report for support.

    c-sdk-info [--json]                   (or python -m c_sdk_tools.info)
    c-sdk-info --version | --help

Prints the interpreter, the c_sdk module's file and how it was built, whether it imports (and the
loader's message when it does not), the libvqsdk.so the process actually loaded (its resolved
path) and whether that library is the project's stand-in, and where the platform package `vq`
comes from. Whatever it cannot find, it reports: it never raises, and its exit status is 0 (2
for an option it does not know). Paths are reported as the system has them, also where they are
not UTF-8; text the output cannot encode is escaped (\\xNN for a byte of a path, \\uNNNN else).

It only imports c_sdk, and adds nothing to the module's namespace. The stand-in is told apart by
its exported marker symbol, looked up in the already loaded library: no SDK function is called.
"""

from __future__ import annotations

import argparse
import ctypes
import importlib.util
import json
import os
import platform
import sys

LIBRARY = "libvqsdk.so"
MARKER = "vqsdk_standin"  # exported by the stand-in only
BUILD_INFO = "build_info.json"
# A build that bundles no SDK library (the plain one) needs the loader to find the vendor's.
NO_LIBRARY_HINT = (f": the loader finds no {LIBRARY}; install the vendor's SDK where it looks, or point it at the "
                   f"directory holding {LIBRARY} (LD_LIBRARY_PATH=/opt/vqsdk/lib c-sdk-info; docs/building.md)")


def _error(e: BaseException) -> str:
    return f"{type(e).__name__}: {e}"


def _module_file() -> str | None:
    try:
        found = importlib.util.find_spec("c_sdk")
    except BaseException as e:  # a broken finder on the path
        return f"(cannot look for c_sdk: {_error(e)})"
    return found.origin if found is not None else None


def _build_info(module_file: str | None) -> dict | str:
    """The record the build left beside the module (c_sdk_tools/build_info.json), else the one
    shipped with this package."""
    places = []
    if module_file and os.path.isabs(module_file):
        places.append(os.path.join(os.path.dirname(module_file), "c_sdk_tools", BUILD_INFO))
    places.append(os.path.join(os.path.dirname(os.path.abspath(__file__)), BUILD_INFO))
    for path in dict.fromkeys(places):
        try:
            with open(path, encoding="utf-8") as f:
                info = json.load(f)
        except FileNotFoundError:
            continue
        except (OSError, ValueError) as e:
            return f"unreadable {path}: {_error(e)}"
        if isinstance(info, dict):
            return {"file": path, **info}
        return f"unreadable {path}: not a JSON object"
    return "not found (a build tree or an install without c_sdk_tools)"


def _import_c_sdk() -> tuple[object | None, str | None]:
    try:
        import c_sdk
    except BaseException as e:  # anything at all: the report goes on
        if isinstance(e, KeyboardInterrupt):
            raise
        return None, _error(e)
    return c_sdk, None


def _mapped_from_proc() -> list[str] | None:
    """The files named libvqsdk.so mapped into this process. /proc/self/maps holds the paths as
    bytes; they are compared as bytes and decoded as the file system does (undecodable bytes
    survive as surrogate escapes), so a path that is not UTF-8 is found and opened as it is."""
    suffix = os.fsencode("/" + LIBRARY)
    try:
        with open("/proc/self/maps", "rb") as maps:
            found = set()
            for line in maps:
                fields = line.split(maxsplit=5)
                if len(fields) == 6 and fields[5].rstrip(b"\n").endswith(suffix):
                    found.add(os.fsdecode(fields[5].rstrip(b"\n")))
            return sorted(found)
    except OSError:
        return None


class _PhdrInfo(ctypes.Structure):
    _fields_ = [("addr", ctypes.c_void_p), ("name", ctypes.c_char_p)]


_PHDR_CALLBACK = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(_PhdrInfo), ctypes.c_size_t, ctypes.c_void_p)


def _mapped_from_loader() -> list[str]:
    """The loader's own list of loaded objects (dl_iterate_phdr), where /proc is not mounted."""
    found: set[str] = set()

    def visit(info, size, data):
        name = info.contents.name
        if name and os.path.basename(name) == os.fsencode(LIBRARY):
            found.add(os.fsdecode(name))
        return 0

    libc = ctypes.CDLL(None)
    libc.dl_iterate_phdr.argtypes = [_PHDR_CALLBACK, ctypes.c_void_p]
    libc.dl_iterate_phdr(_PHDR_CALLBACK(visit), None)
    return sorted(found)


def _loaded_libraries() -> list[dict] | str:
    try:
        paths = _mapped_from_proc()
        if paths is None:
            paths = _mapped_from_loader()
    except Exception as e:
        return f"cannot list the loaded libraries: {_error(e)}"
    return [_describe_library(p) for p in paths]


def _describe_library(path: str) -> dict:
    entry: dict = {"path": os.path.realpath(path)}
    try:
        # Only a library that is already loaded: RTLD_NOLOAD never maps a new one.
        lib = ctypes.CDLL(path, mode=os.RTLD_NOLOAD | os.RTLD_LAZY)
    except OSError as e:
        entry["standin"] = None
        entry["note"] = f"cannot inspect: {e}"
        return entry
    try:
        marker = ctypes.c_char.in_dll(lib, MARKER)
    except ValueError:
        entry["standin"] = False
    else:
        entry["standin"] = True
        entry["identity"] = ctypes.string_at(ctypes.addressof(marker)).decode(errors="replace")
    return entry


def _platform_package() -> dict:
    module = sys.modules.get("vq")
    if module is not None:
        where = getattr(module, "__file__", None) or list(getattr(module, "__path__", []) or [])
        return {"importable": True, "from": where}
    try:
        found = importlib.util.find_spec("vq")
    except BaseException as e:
        return {"importable": False, "from": None, "note": f"cannot look for vq: {_error(e)}"}
    if found is None:
        return {"importable": False, "from": None,
                "note": "vq is not on the path; c_sdk needs it (for tests and the demo: "
                        "PYTHONPATH=<c_sdk source>/standin/python)"}
    where = found.origin if found.has_location else list(found.submodule_search_locations or [])
    return {"importable": True, "from": where}


def collect() -> dict:
    """The whole report as a dict (what --json prints)."""
    module_file = _module_file()
    report = {
        "python": {"executable": sys.executable, "version": platform.python_version(),
                   "implementation": sys.implementation.name, "platform": platform.platform()},
        "c_sdk": {"file": module_file, "build": _build_info(module_file)},
    }
    module, failure = (None, "c_sdk is not installed on this path") if module_file is None else _import_c_sdk()
    report["c_sdk"]["imported"] = module is not None
    if module is not None:
        report["c_sdk"]["file"] = getattr(module, "__file__", module_file)
    else:
        report["c_sdk"]["error"] = failure
    # Even when the module's initialisation failed (no vq, say), the loader has mapped the library.
    report["sdk"] = _loaded_libraries()
    report["vq"] = _platform_package()
    return report


def _text(report: dict) -> str:
    py, mod = report["python"], report["c_sdk"]
    lines = [f"python     {py['executable']} ({py['implementation']} {py['version']}, {py['platform']})",
             f"c_sdk      {mod['file'] or 'not found'}"]
    build = mod["build"]
    if isinstance(build, dict):
        options = build.get("options", {})
        lines.append(f"  version  {build.get('version', '?')}, run path {build.get('runpath') or '(none)'}")
        lines.append(f"  SDK      {build.get('sdk_linked', '?')}")
        shown = {k: ("ON" if v else "OFF") if isinstance(v, bool) else v or "(none)" for k, v in options.items()}
        lines.append("  options  " + ", ".join(f"{k}={v}" for k, v in shown.items()))
        lines.append(f"  built    {build.get('compiler', '?')} for Python {build.get('python', '?')} ({build['file']})")
    else:
        lines.append(f"  build    {build}")
    lines.append("  import   ok" if mod["imported"] else f"  import   FAILED: {mod['error']}")
    sdk = report["sdk"]
    if isinstance(sdk, str):
        lines.append(f"libvqsdk   {sdk}")
    elif not sdk:
        lines.append("libvqsdk   none loaded" + (NO_LIBRARY_HINT if mod["file"] else ""))
    for entry in sdk if isinstance(sdk, list) else []:
        if entry["standin"] is True:
            kind = f"the STAND-IN ({entry['identity']})"
        elif entry["standin"] is False:
            kind = "not the stand-in"
        else:
            kind = entry.get("note", "unknown")
        lines.append(f"libvqsdk   {entry['path']}: {kind}")
    vq = report["vq"]
    if vq["importable"]:
        lines.append(f"vq         {vq['from']}")
    else:
        lines.append(f"vq         not importable: {vq.get('note', '')}")
    return "\n".join(lines)


def _version() -> str:
    """The version of the installed distribution (a stand-in build's has the label +standin)."""
    try:
        from importlib.metadata import version

        return version("c_sdk")
    except Exception:
        build = _build_info(_module_file())
        return build.get("version", "unknown") if isinstance(build, dict) else "unknown"


def _escaped(text: str, encoding: str) -> str:
    """`text` as `encoding` can write it: a byte of a path that is not valid in the file system's
    encoding (a surrogate escape) as \\xNN, any other character the encoding lacks as \\uNNNN."""
    try:
        text.encode(encoding)
        return text
    except (UnicodeEncodeError, LookupError):
        pass
    out = []
    for ch in text:
        if "\udc80" <= ch <= "\udcff":
            out.append(f"\\x{ord(ch) - 0xDC00:02x}")
            continue
        try:
            ch.encode(encoding)
            out.append(ch)
        except (UnicodeEncodeError, LookupError):
            out.append(ch.encode("ascii", "backslashreplace").decode("ascii"))
    return "".join(out)


def _write(text: str) -> None:
    stream = sys.stdout
    if stream is None:
        return
    try:
        stream.write(_escaped(text, getattr(stream, "encoding", None) or "utf-8") + "\n")
        stream.flush()
    except (OSError, ValueError, UnicodeError):
        pass  # a closed or broken output: nothing left to report to


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="c-sdk-info",
        description="Report which c_sdk module, which libvqsdk.so and which vq package this interpreter "
                    "uses, and whether the SDK library is the project's stand-in.",
        epilog="It never raises: whatever it cannot find, it reports. Exit status 0; 2 for an unknown option.")
    parser.add_argument("--json", action="store_true", help="print the report as JSON")
    parser.add_argument("--version", action="store_true", help="print the installed c_sdk version and exit")
    return parser


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)  # --help and an unknown option exit here (0 and 2)
    if args.version:
        _write(f"c-sdk-info (c_sdk {_version()})")
        return 0
    try:
        report = collect()
        out = json.dumps(report, indent=2, default=str) if args.json else _text(report)
    except Exception as e:  # a bug here must still leave a report
        out = f"c_sdk_tools.info: could not complete the report: {_error(e)}"
    _write(out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
