"""Build hooks of the velmora_csv package (its metadata is in pyproject.toml).

With VELMORA_CSV_LIBRARY naming a built libvelmora-csv.so when the package
is built, a copy of that library goes into the package, where it is found
at run time, and the wheel is tagged for this platform:

    VELMORA_CSV_LIBRARY=$PWD/build/release/libvelmora-csv.so \\
        pip install --no-build-isolation ./python

Without it the package finds the library at run time.

The package's C extension (velmora_csv/_rows.c, which decodes row answers
quickly) is built where a C compiler and Python's headers are at hand
(Debian: python3-dev); elsewhere the build goes on without it and the
package decodes with the json module.
"""

import os
import shutil

from setuptools import Extension, setup
from setuptools.command.build_py import build_py

ENV_VAR = "VELMORA_CSV_LIBRARY"
BUNDLED_NAME = "libvelmora-csv.so"


def bundled_library():
    """The library to bundle, or None."""
    source = os.environ.get(ENV_VAR)
    if not source:
        return None
    if not os.path.isfile(source):
        raise SystemExit(f"{ENV_VAR}={source!r} is not a file: cannot bundle the library")
    return source


class BuildPyWithLibrary(build_py):
    def run(self):
        super().run()
        package_dir = os.path.join(self.build_lib, "velmora_csv")
        # A build directory reused from an earlier build must not keep its copy.
        for name in os.listdir(package_dir):
            if name.startswith("libvelmora-csv"):
                os.remove(os.path.join(package_dir, name))
        source = bundled_library()
        if source is not None:
            # copyfile follows the symlinks of a build tree to the real file.
            shutil.copyfile(source, os.path.join(package_dir, BUNDLED_NAME))


commands = {"build_py": BuildPyWithLibrary}

try:
    from wheel.bdist_wheel import bdist_wheel
except ImportError:  # building without the wheel package: no wheel to tag
    pass
else:

    class PlatformWheel(bdist_wheel):
        """A wheel carrying the library or the extension runs only on this
        platform and Python version."""

        def finalize_options(self):
            super().finalize_options()
            if bundled_library() is not None:
                self.root_is_pure = False

    commands["bdist_wheel"] = PlatformWheel

setup(
    cmdclass=commands,
    ext_modules=[Extension("velmora_csv._rows", ["velmora_csv/_rows.c"], optional=True)],
)
