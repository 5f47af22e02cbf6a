"""The type stubs ship with the package, match the compiled modules, and type
real code the way it runs."""

import os
import pathlib
import site
import subprocess
import sys

import quelbrin.async_.synchronize as synchronize
import quelbrin.async_.tandemix as tandemix

USAGE = pathlib.Path(__file__).with_name("typed_usage.py")
EXTENSIONS = pathlib.Path(tandemix.__file__).parent


def run_python(*args, cwd):
    # A scratch working directory keeps mypy's cache out of the tree and the
    # source tree off the import path: what is checked is the installed package.
    environment = dict(os.environ)
    # An editable install serves the extensions through an import hook, which
    # mypy does not follow: it is pointed at the tree the hook serves them from.
    root = EXTENSIONS.parent.parent
    if root.resolve() not in [pathlib.Path(path).resolve() for path in site.getsitepackages()]:
        environment["MYPYPATH"] = str(root)
    return subprocess.run([sys.executable, *args], cwd=cwd, capture_output=True, text=True, timeout=300,
                          env=environment)


def test_stubs_and_marker_are_installed_beside_the_extensions():
    assert pathlib.Path(synchronize.__file__).parent == EXTENSIONS
    assert (EXTENSIONS / "tandemix.pyi").is_file() and (EXTENSIONS / "synchronize.pyi").is_file()
    # The marker sits in the extensions' own directory: the framework owns quelbrin/.
    assert (EXTENSIONS / "py.typed").is_file()


def test_stubtest_finds_no_difference_from_the_runtime(tmp_path):
    result = run_python("-m", "mypy.stubtest", "quelbrin.async_.tandemix", "quelbrin.async_.synchronize",
                        cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_typed_usage_passes_strict_mypy(tmp_path):
    result = run_python("-m", "mypy", "--strict", "--warn-unused-ignores", "--no-error-summary", str(USAGE),
                        cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_typed_usage_runs_as_its_types_say(tmp_path):
    result = run_python(str(USAGE), cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
