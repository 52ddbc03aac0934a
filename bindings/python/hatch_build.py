"""Puts the shared library built by CMake into the wheel, next to the package."""
import os
import sys
import sysconfig
from pathlib import Path
from typing import Any, Dict

from hatchling.builders.hooks.plugin.interface import BuildHookInterface

# Where `cmake --preset default` builds the library, from this folder.
_DEFAULT_BUILD = Path("..", "..", "build", "default", "src")


def _library_file_name() -> str:
    if sys.platform == "win32":
        return "ostrel.dll"
    if sys.platform == "darwin":
        return "libostrel.dylib"
    return "libostrel.so"


class CustomBuildHook(BuildHookInterface):  # type: ignore[misc]
    def initialize(self, version: str, build_data: Dict[str, Any]) -> None:
        if self.target_name != "wheel":
            return
        name = _library_file_name()
        built = os.environ.get("OSTREL_WHEEL_LIBRARY") or str(Path(self.root, _DEFAULT_BUILD, name))
        if not os.path.isfile(built):
            raise RuntimeError(f"{built} not found: build the library first (make python)")
        # The copy is the file a symbolic link leads to, under the plain name.
        build_data["force_include"][os.path.realpath(built)] = f"ostrel/{name}"
        build_data["pure_python"] = False
        # Any Python 3 can load it: the library has a C interface, not a Python one.
        platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
        build_data["tag"] = f"py3-none-{platform}"
