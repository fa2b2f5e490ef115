"""Build hook: with QUORVALE_ID3TAG_BUNDLE=PATH set, the shared library at PATH is copied into the
package (as libquorvale-id3tag.so.1, or quorvale-id3tag.dll on Windows), which then loads that copy
first and is built as a platform wheel. Everything else is in pyproject.toml."""

import os
import shutil

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
LIBRARY_NAME = "quorvale-id3tag.dll" if os.name == "nt" else "libquorvale-id3tag.so.1"


class BuildPy(build_py):
    def run(self):
        super().run()
        dest = os.path.join(self.build_lib, "quorvale_id3tag", LIBRARY_NAME)
        if BUNDLE:
            if not os.path.isfile(BUNDLE):
                raise SystemExit("QUORVALE_ID3TAG_BUNDLE: no file " + BUNDLE)
            shutil.copyfile(BUNDLE, dest)  # a symbolic link is followed
        elif os.path.exists(dest):
            os.remove(dest)  # left by an earlier bundling build in the same build folder


class Wheel(Distribution):
    def has_ext_modules(self):
        # A bundled library makes the wheel specific to this platform.
        return bool(BUNDLE)


setup(cmdclass={"build_py": BuildPy}, distclass=Wheel)
