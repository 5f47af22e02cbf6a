"""The extensions link against the interpreter and libc only, export only
their init function, and load on every glibc the wheels promise."""

import os
import re
import shutil
import subprocess

import pytest

import quelbrin.async_.synchronize as synchronize
import quelbrin.async_.tandemix as tandemix

MODULES = pytest.mark.parametrize("module", [tandemix, synchronize], ids=lambda m: m.__name__)
# The wheels are tagged manylinux_2_28 (make wheels): no glibc symbol may be
# newer than 2.28, and the C++ runtime must not be imported at all.
GLIBC_CEILING = (2, 28)
GLIBC_LIBRARIES = {"libc.so.6", "ld-linux-x86-64.so.2"}


def readelf(*args):
    return subprocess.run(["readelf", "-W", *args], capture_output=True, text=True, check=True).stdout


def needed_libraries(path):
    return set(re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", readelf("--dynamic", path)))


def instrumented(path):
    """Built by make sanitize: it calls into the sanitizer runtime that the
    interpreter preloads."""
    return "__asan_init" in readelf("--dyn-syms", path)


@MODULES
@pytest.mark.skipif(shutil.which("ldd") is None or shutil.which("nm") is None, reason="needs ldd and nm")
def test_shared_library_dependencies_and_exports(module):
    # Without what make sanitize preloads, which would be listed along.
    environment = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    libraries = subprocess.run(["ldd", module.__file__], capture_output=True, text=True, check=True,
                               env=environment).stdout
    assert "libstdc++" not in libraries and "libgcc_s" not in libraries, libraries
    symbols = subprocess.run(["nm", "-D", "--defined-only", module.__file__], capture_output=True, text=True,
                             check=True).stdout.split()
    exported = [s for s in symbols if s.startswith("PyInit") or s.startswith("_Z")]
    assert exported == [f"PyInit_{module.__name__.rsplit('.', 1)[1]}"]


@MODULES
@pytest.mark.skipif(shutil.which("readelf") is None, reason="needs readelf")
def test_imports_nothing_newer_than_the_oldest_glibc_the_wheels_promise(module):
    if instrumented(module.__file__):
        pytest.skip("instrumented build: not for distribution")
    assert needed_libraries(module.__file__) <= GLIBC_LIBRARIES
    imported = re.findall(r"\sUND\s+([^@\s]+)@(\S+)", readelf("--dyn-syms", module.__file__))
    assert imported, "no versioned symbol found: the readelf output was not understood"
    too_new = []
    for symbol, version in imported:
        match = re.fullmatch(r"GLIBC_(\d+)\.(\d+)(?:\.\d+)?", version)
        if match is None or (int(match[1]), int(match[2])) > GLIBC_CEILING:
            too_new.append(f"{symbol}@{version}")
    assert not too_new, f"imports newer than glibc {GLIBC_CEILING}: {too_new}"
