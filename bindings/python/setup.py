"""Build hook: writes the package's version (the C header's) into it as _version.py. With
QUORVALE_ID3TAG_BUNDLE=PATH set, the shared library at PATH is copied into the package (as
libquorvale-id3tag.so.1, or quorvale-id3tag.dll on Windows), which then loads that copy first and
is built as a platform wheel. Everything else is in pyproject.toml."""

import os
import re
import shutil
import subprocess

from setuptools import setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution


def bundle_path():
    """A relative QUORVALE_ID3TAG_BUNDLE means the folder the user typed the command in. pip runs
    this script from the package folder, but keeps the shell's PWD in the environment."""
    path = os.environ.get("QUORVALE_ID3TAG_BUNDLE", "")
    if path and not os.path.isabs(path):
        path = os.path.join(os.environ.get("PWD", os.getcwd()), path)
    return path


BUNDLE = bundle_path()
# The package's version is the C header's, read from the clone this folder belongs to.
HEADER = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "include",
                      "quorvale_id3tag.h")
if not os.path.isfile(HEADER):
    raise SystemExit("quorvale_id3tag: no %s, whose version the package takes: build the package "
                     "from bindings/python in the project's clone" % os.path.normpath(HEADER))
LIBRARY_NAME = "quorvale-id3tag.dll" if os.name == "nt" else "libquorvale-id3tag.so.1"
# The Linux library links yyjson as a shared library, which a plain system may not have: a
# bundling build carries the copy the library resolves to (the Windows DLL has yyjson built in).
YYJSON_NAME = "libyyjson.so.0"


def resolved_yyjson(library):
    """Where the system loader finds the library's yyjson, from ldd's "NAME => PATH" line."""
    listing = subprocess.run(["ldd", library], stdout=subprocess.PIPE, universal_newlines=True,
                             check=True).stdout
    found = re.search(r"^\s*" + re.escape(YYJSON_NAME) + r" => (\S+)", listing, re.M)
    if not found:
        raise SystemExit("QUORVALE_ID3TAG_BUNDLE: %s does not resolve %s" % (library, YYJSON_NAME))
    return found.group(1)


class BuildPy(build_py):
    def run(self):
        super().run()
        # The version the package was built with, which the installed module reports (from the
        # clone's C header; see pyproject.toml).
        with open(os.path.join(self.build_lib, "quorvale_id3tag", "_version.py"), "w") as f:
            f.write('__version__ = "%s"\n' % self.distribution.get_version())
        dest = os.path.join(self.build_lib, "quorvale_id3tag", LIBRARY_NAME)
        if BUNDLE:
            if not os.path.isfile(BUNDLE):
                raise SystemExit("QUORVALE_ID3TAG_BUNDLE: no file " + BUNDLE)
            shutil.copyfile(BUNDLE, dest)  # a symbolic link is followed
        elif os.path.exists(dest):
            os.remove(dest)  # left by an earlier bundling build in the same build folder
        yyjson_dest = os.path.join(self.build_lib, "quorvale_id3tag", YYJSON_NAME)
        if BUNDLE and os.name != "nt":
            shutil.copyfile(resolved_yyjson(BUNDLE), yyjson_dest)
        elif os.path.exists(yyjson_dest):
            os.remove(yyjson_dest)


class Wheel(Distribution):
    def has_ext_modules(self):
        # A bundled library makes the wheel specific to this platform.
        return bool(BUNDLE)


setup(cmdclass={"build_py": BuildPy}, distclass=Wheel)
