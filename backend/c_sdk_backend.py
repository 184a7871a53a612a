"""The build backend: scikit-build-core, with the stand-in build labelled.

A wheel that bundles the SDK stand-in (the test double) carries the local version label
`+standin` in its file name and its metadata (`c_sdk-0.1.0+standin-...whl`), so it can never be
taken for, or overwrite, the plain wheel of the same version in a wheel directory.

What decides is the build itself, not how it was asked for: the build record the build writes
into the wheel (`c_sdk_tools/build_info.json`, from CMake's own VQSDK_STANDIN, whether that came
from `-C cmake.define.VQSDK_STANDIN=ON`, the VQSDK_STANDIN variable or CMAKE_ARGS). That record
exists only once the wheel is built, so this backend offers no separate metadata hook: a
frontend then takes the metadata from the wheel, and the two always agree.
"""

from __future__ import annotations

import base64
import csv
import hashlib
import io
import json
import os
import re
import zipfile

from scikit_build_core import build as _backend
from scikit_build_core.build import build_sdist, get_requires_for_build_sdist  # noqa: F401  (the hooks as they are)
from scikit_build_core.build import get_requires_for_build_editable, get_requires_for_build_wheel  # noqa: F401

LABEL = "standin"
BUILD_RECORD = "c_sdk_tools/build_info.json"


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    return label_wheel(wheel_directory, _backend.build_wheel(wheel_directory, config_settings, metadata_directory))


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    return label_wheel(wheel_directory, _backend.build_editable(wheel_directory, config_settings, metadata_directory))


def labelled(version: str) -> str:
    """The version with the stand-in label added to its local label."""
    return f"{version}.{LABEL}" if "+" in version else f"{version}+{LABEL}"


def _is_standin(z: zipfile.ZipFile) -> bool:
    try:
        record = json.loads(z.read(BUILD_RECORD))
    except KeyError:
        return False  # an editable wheel, say: nothing of the build in it
    return record.get("options", {}).get("VQSDK_STANDIN") is True


def _hash(data: bytes) -> str:
    return "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()


def label_wheel(directory: str, filename: str) -> str:
    """Rewrites the wheel `filename` in `directory` with the labelled version when it bundles the
    stand-in; returns the name of the wheel to use."""
    path = os.path.join(directory, filename)
    match = re.fullmatch(r"([^-]+)-([^-]+)(-.+\.whl)", filename)
    if match is None:
        raise RuntimeError(f"c_sdk_backend: unexpected wheel name {filename}")
    name, version, rest = match.groups()
    with zipfile.ZipFile(path) as z:
        if not _is_standin(z) or version.endswith(LABEL):
            return filename
        new_version = labelled(version)
        old_info, new_info = f"{name}-{version}.dist-info/", f"{name}-{new_version}.dist-info/"
        entries = [(info, z.read(info)) for info in z.infolist()]
    new_filename = f"{name}-{new_version}{rest}"
    new_path = os.path.join(directory, new_filename)
    try:
        _write_labelled(new_path + ".tmp", entries, old_info, new_info, version, new_version)
    except BaseException:
        if os.path.exists(new_path + ".tmp"):
            os.remove(new_path + ".tmp")
        raise
    os.replace(new_path + ".tmp", new_path)
    os.remove(path)
    return new_filename


def _write_labelled(path, entries, old_info, new_info, version, new_version):
    """Writes the wheel's entries to `path` with the dist-info directory renamed, the METADATA's
    version labelled, and the RECORD made again from what was written."""
    record: list[tuple[str, str, object]] = []
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as out:
        for info, data in entries:
            arcname = info.filename
            if arcname.startswith(old_info):
                arcname = new_info + arcname[len(old_info):]
            if arcname == new_info + "RECORD":
                continue  # written last, from what was written
            if arcname == new_info + "METADATA":
                metadata, n = re.subn(rf"(?m)^Version: {re.escape(version)}$", f"Version: {new_version}",
                                      data.decode("utf-8"), count=1)
                if n != 1:
                    raise RuntimeError(f"c_sdk_backend: no 'Version: {version}' line in the wheel's METADATA")
                data = metadata.encode("utf-8")
            copy = zipfile.ZipInfo(arcname, info.date_time)
            copy.external_attr, copy.compress_type = info.external_attr, info.compress_type
            out.writestr(copy, data)
            record.append((arcname, _hash(data), len(data)))
        record.append((new_info + "RECORD", "", ""))
        listing = io.StringIO()
        csv.writer(listing, lineterminator="\n").writerows(record)
        record_info = zipfile.ZipInfo(new_info + "RECORD", entries[-1][0].date_time)
        record_info.external_attr = 0o644 << 16
        out.writestr(record_info, listing.getvalue(), zipfile.ZIP_DEFLATED)
