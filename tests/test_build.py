"""The extensions link against the interpreter and libc only, and export only their init function."""

import shutil
import subprocess

import pytest

import quelbrin.async_.synchronize as synchronize
import quelbrin.async_.tandemix as tandemix


@pytest.mark.parametrize("module", [tandemix, synchronize], ids=lambda m: m.__name__)
@pytest.mark.skipif(shutil.which("ldd") is None or shutil.which("nm") is None, reason="needs ldd and nm")
def test_shared_library_dependencies_and_exports(module):
    libraries = subprocess.run(["ldd", module.__file__], capture_output=True, text=True, check=True).stdout
    if "libasan" in libraries:
        pytest.skip("instrumented build: the sanitizer runtime brings the C++ runtime along")
    assert "libstdc++" not in libraries and "libgcc_s" not in libraries, libraries
    symbols = subprocess.run(["nm", "-D", "--defined-only", module.__file__], capture_output=True, text=True,
                             check=True).stdout.split()
    exported = [s for s in symbols if s.startswith("PyInit") or s.startswith("_Z")]
    assert exported == [f"PyInit_{module.__name__.rsplit('.', 1)[1]}"]
