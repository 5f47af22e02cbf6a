"""The type stubs ship with the package, match the compiled modules, and type
real code the way it runs."""

import json
import os
import pathlib
import site
import subprocess
import sys

import quelbrin.async_.synchronize as synchronize
import quelbrin.async_.tandemix as tandemix

REPO = pathlib.Path(__file__).resolve().parent.parent
USAGE = pathlib.Path(__file__).with_name("typed_usage.py")
EXTENSIONS = pathlib.Path(tandemix.__file__).parent
ROOT = EXTENSIONS.parent.parent
# An editable install serves the extensions through an import hook, which
# type checkers do not follow: mypy is pointed at the stubs' sources, pyright
# at the tree the hook serves (it finds the stub package there, ahead of the
# stand-ins' package on the path).
EDITABLE = ROOT.resolve() not in [pathlib.Path(path).resolve() for path in site.getsitepackages()]


def run_python(*args, cwd, environment=None):
    # A scratch working directory keeps the checkers' caches out of the tree
    # and the source tree off the import path: what is checked is the
    # installed package.
    environment = {**os.environ, **(environment or {})}
    if EDITABLE:
        environment["MYPYPATH"] = str(REPO / "src")
    return subprocess.run([sys.executable, *args], cwd=cwd, capture_output=True, text=True, timeout=300,
                          env=environment)


def test_stubs_are_a_partial_stub_package_beside_the_extensions():
    stubs = ROOT / "quelbrin-stubs"
    assert pathlib.Path(synchronize.__file__).parent == EXTENSIONS
    assert (stubs / "async_" / "tandemix.pyi").is_file() and (stubs / "async_" / "synchronize.pyi").is_file()
    # "partial": every other quelbrin module comes from the framework.
    assert (stubs / "py.typed").read_text() == "partial\n"


def test_stubtest_finds_no_difference_from_the_runtime(tmp_path):
    result = run_python("-m", "mypy.stubtest", "quelbrin.async_.tandemix", "quelbrin.async_.synchronize",
                        cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_typed_usage_passes_strict_mypy(tmp_path):
    result = run_python("-m", "mypy", "--strict", "--warn-unused-ignores", "--no-error-summary", str(USAGE),
                        cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_typed_usage_passes_strict_pyright(tmp_path):
    # Every ignore comment must be needed: each call that mypy refuses,
    # pyright refuses too.
    config = {"typeCheckingMode": "strict", "reportUnnecessaryTypeIgnoreComment": "error"}
    if EDITABLE:
        config["extraPaths"] = [str(ROOT)]
    (tmp_path / "pyrightconfig.json").write_text(json.dumps(config))
    result = run_python("-m", "pyright", "--pythonpath", sys.executable, str(USAGE), cwd=tmp_path,
                        environment={"PYRIGHT_PYTHON_IGNORE_WARNINGS": "1"})
    assert result.returncode == 0, result.stdout + result.stderr


def test_typed_usage_runs_as_its_types_say(tmp_path):
    result = run_python(str(USAGE), cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
