"""The client's version is the project's, kept in one place: the project() line of the top CMakeLists.txt.

setuptools reads no file outside this folder, so the version is taken here.
An unpacked source archive has no CMakeLists.txt beside it but carries the
version it was made with in PKG-INFO.
"""

import pathlib
import re

from setuptools import setup

HERE = pathlib.Path(__file__).resolve().parent


def project_version() -> str:
    for path, pattern in (
        (HERE / "PKG-INFO", r"^Version: (\S+)$"),
        (HERE.parent.parent / "CMakeLists.txt", r"^project\(qelt VERSION ([0-9.]+)\b"),
    ):
        found = path.is_file() and re.search(pattern, path.read_text(encoding="utf-8"), re.MULTILINE)
        if found:
            return found.group(1)
    raise SystemExit("qelt-client: no project version found: build the client from the project's source tree")


setup(version=project_version())
