"""Build a test-only extension from one C or C++ source and import it.

The compiler and flags are the running interpreter's own (``sysconfig``),
so the module matches the interpreter's ABI. As with the usual build tools,
the environment variables CC, CXX, CFLAGS, CXXFLAGS and LDFLAGS override or
extend them, which lets a sanitizer run build these modules alike.

    mod = build_extension(Path("tests/ext/exporter.c"), tmp_path)
"""

from __future__ import annotations

import importlib.util
import os
import shlex
import subprocess
import sys
import sysconfig
from collections.abc import Iterable, Sequence
from pathlib import Path
from types import ModuleType

CXX_SUFFIXES = {".cc", ".cpp", ".cxx", ".C"}


def _config(name: str) -> list[str]:
    return shlex.split(sysconfig.get_config_var(name) or "")


def _env(name: str) -> list[str]:
    return shlex.split(os.environ.get(name, ""))


def compile_command(
    source: Path,
    target: Path,
    *,
    language: str,
    include_dirs: Iterable[os.PathLike | str] = (),
    extra_args: Sequence[str] = (),
) -> list[str]:
    """The one command that compiles and links `source` into `target`."""
    cxx = language == "c++"
    compiler = _env("CXX" if cxx else "CC") or _config("CXX" if cxx else "CC")
    # LDSHARED starts with the C compiler; link C++ with the C++ driver.
    linker_flags = _config("LDSHARED")[1:]
    flags = _config("CFLAGS") + _config("CCSHARED") + _env("CFLAGS")
    if cxx:
        flags += ["-std=c++20"] + _env("CXXFLAGS")
    includes = [f"-I{d}" for d in include_dirs] + [f"-I{sysconfig.get_config_var('INCLUDEPY')}"]
    return [
        *compiler,
        *flags,
        *includes,
        *extra_args,
        str(source),
        *linker_flags,
        *_env("LDFLAGS"),
        "-o",
        str(target),
    ]


def build_extension(
    source: os.PathLike | str,
    folder: os.PathLike | str,
    *,
    name: str | None = None,
    language: str | None = None,
    include_dirs: Iterable[os.PathLike | str] = (),
    extra_args: Sequence[str] = (),
) -> ModuleType:
    """Compile `source` into an extension module in `folder` and import it.

    `name` is the module name (its PyInit_<name>), by default the source's
    stem; `language` is "c" or "c++", by default guessed from the suffix.
    The module is imported from its file and not entered in sys.modules, so
    separate builds never meet.
    """
    source = Path(source)
    folder = Path(folder)
    name = name or source.stem
    language = language or ("c++" if source.suffix in CXX_SUFFIXES else "c")
    if language not in ("c", "c++"):
        raise ValueError(f"unknown language {language!r}")
    folder.mkdir(parents=True, exist_ok=True)
    target = folder / f"{name}{sysconfig.get_config_var('EXT_SUFFIX')}"
    command = compile_command(
        source, target, language=language, include_dirs=include_dirs, extra_args=extra_args
    )
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(
            f"building {source.name} failed ({done.returncode}):\n"
            f"{shlex.join(command)}\n{done.stdout}{done.stderr}"
        )
    return import_extension(name, target)


def import_extension(name: str, path: os.PathLike | str) -> ModuleType:
    """Import the extension module `name` from the file `path`."""
    spec = importlib.util.spec_from_file_location(name, path)
    if spec is None or spec.loader is None:
        raise ImportError(f"cannot load {name} from {path}")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


if __name__ == "__main__":
    # python tests/extbuild.py SOURCE FOLDER: a quick manual build.
    mod = build_extension(sys.argv[1], sys.argv[2])
    print(mod.__file__)
