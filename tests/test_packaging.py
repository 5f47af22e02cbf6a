"""What the two distributions hold and declare; that the extensions' wheel
installs beside the framework, is typed there, and uninstalls without
touching it; and what a user without the framework is told."""

import base64
import email.parser
import hashlib
import importlib.metadata
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import sysconfig
import tomllib
import zipfile

import pytest

import quelbrin.async_.synchronize as synchronize
import quelbrin.async_.tandemix as tandemix

REPO = pathlib.Path(__file__).resolve().parent.parent
PRODUCT = "quelbrin-async-native"
SUPPORT = "quelbrin-async-native-test-support"
EXT_SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")

# The extensions in the framework's package, their stubs in a partial
# stub-only package of their own: no file shared with the framework.
PRODUCT_FILES = {
    f"quelbrin/async_/tandemix{EXT_SUFFIX}",
    f"quelbrin/async_/synchronize{EXT_SUFFIX}",
    "quelbrin-stubs/py.typed",
    "quelbrin-stubs/async_/tandemix.pyi",
    "quelbrin-stubs/async_/synchronize.pyi",
}
# The oldest glibc the released wheels load on (make wheels tags them so).
MANYLINUX_CEILING = (2, 28)
TYPED_USAGE = pathlib.Path(__file__).with_name("typed_usage.py")
# The framework's own files that the extensions import; the stand-ins mirror them.
STAND_INS = {
    "quelbrin/__init__.py",
    "quelbrin/async_/__init__.py",
    "quelbrin/async_/exceptions.py",
    "quelbrin/log/__init__.py",
    "quelbrin/log/managed_handlers.py",
    "quelbrin/trevask/__init__.py",
    "quelbrin/trevask/signals.py",
    "quelbrin/trevask/steps.py",
}


def run(*command, **options):
    result = subprocess.run(command, capture_output=True, text=True, timeout=300, **options)
    assert result.returncode == 0, f"{command}\n{result.stdout}\n{result.stderr}"
    return result.stdout


@pytest.fixture(scope="session")
def product_wheel(tmp_path_factory):
    """The extensions' wheel: the one the Makefile installed, or a fresh build."""
    given = os.environ.get("QUELBRIN_NATIVE_WHEEL")
    if given:
        return pathlib.Path(given)
    target = tmp_path_factory.mktemp("wheel")
    run(sys.executable, "-m", "pip", "wheel", "--quiet", "--no-deps", "--wheel-dir", str(target), str(REPO))
    [wheel] = target.glob("quelbrin_async_native-*.whl")
    return wheel


def wheel_contents(wheel):
    """The wheel's package files (directory entries left out), and its parsed METADATA."""
    with zipfile.ZipFile(wheel) as archive:
        names = [name for name in archive.namelist() if not name.endswith("/")]
        [metadata_name] = [name for name in names if name.endswith(".dist-info/METADATA")]
        metadata = email.parser.Parser().parsestr(archive.read(metadata_name).decode())
        licence = archive.read(metadata_name.replace("METADATA", "licenses/LICENSE")).decode()
    return {name for name in names if ".dist-info/" not in name}, metadata, licence


def project_table(path):
    return tomllib.loads(path.read_text(encoding="utf-8"))["project"]


class TestProductWheel:
    def test_holds_only_the_extensions_and_their_stub_package(self, product_wheel):
        files, _, _ = wheel_contents(product_wheel)
        assert files == PRODUCT_FILES
        with zipfile.ZipFile(product_wheel) as archive:
            assert archive.read("quelbrin-stubs/py.typed") == b"partial\n"

    def test_is_consistent_with_the_promised_manylinux_policy(self, product_wheel):
        if b"__asan_init" in pathlib.Path(tandemix.__file__).read_bytes():
            pytest.skip("instrumented build (make sanitize): it needs the sanitizer runtime, not for distribution")
        tags = re.findall(r"manylinux_(\d+)_(\d+)_x86_64", product_wheel.name)
        assert all((int(major), int(minor)) <= MANYLINUX_CEILING for major, minor in tags), product_wheel.name
        shown = run(sys.executable, "-m", "auditwheel", "show", str(product_wheel))
        [policy] = re.findall(r'consistent with the following platform tag: "manylinux_(\d+)_(\d+)_x86_64"',
                              " ".join(shown.split()))
        assert tuple(map(int, policy)) <= MANYLINUX_CEILING, shown

    def test_metadata(self, product_wheel):
        _, metadata, licence = wheel_contents(product_wheel)
        assert metadata["Name"] == PRODUCT
        assert metadata["Version"] == project_table(REPO / "pyproject.toml")["version"]
        assert metadata["License-Expression"] == "LicenseRef-Proprietary"
        assert metadata.get_all("License-File") == ["LICENSE"]
        assert licence == (REPO / "LICENSE").read_text(encoding="utf-8")
        assert sorted(metadata["Requires-Python"].split(",")) == ["<3.14", ">=3.12"]
        classifiers = metadata.get_all("Classifier")
        for expected in ["Private :: Do Not Upload", "Typing :: Typed", "Programming Language :: Python :: 3.12",
                         "Programming Language :: Python :: 3.13",
                         "Programming Language :: Python :: Implementation :: CPython"]:
            assert expected in classifiers

    def test_long_description_says_what_it_is_then_how_to_run_it(self, product_wheel):
        _, metadata, _ = wheel_contents(product_wheel)
        description = metadata.get_payload()
        title, first_paragraph = description.split("\n\n")[:2]
        assert title == "# quelbrin-async-native"
        assert "extension modules" in first_paragraph and "quelbrin.async_.tandemix" in first_paragraph
        example = description.index("```python")
        assert example < description.index("make demo") < description.index("make test")

    def test_says_it_needs_the_framework_and_what_stands_in_for_it(self, product_wheel):
        _, metadata, _ = wheel_contents(product_wheel)
        summary = metadata["Summary"]
        assert "Needs the quelbrin framework" in summary and "test-support distribution" in summary
        installing = metadata.get_payload().split("## Installing", 1)[1].split("\n## ", 1)[0]
        assert "needs the quelbrin framework" in installing and SUPPORT in installing

    def test_changelog_has_an_entry_for_this_version(self, product_wheel):
        _, metadata, _ = wheel_contents(product_wheel)
        changelog = (REPO / "CHANGELOG.md").read_text(encoding="utf-8")
        assert f"\n## {metadata['Version']} " in changelog


def test_version_is_read_from_the_metadata_not_the_modules():
    assert importlib.metadata.version(PRODUCT) == project_table(REPO / "pyproject.toml")["version"]
    for module in (tandemix, synchronize):
        assert "__version__" not in vars(module)


def test_support_distribution_holds_the_stand_ins_and_warns_against_the_framework():
    try:
        distribution = importlib.metadata.distribution(SUPPORT)
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("the stand-ins come from an editable install of the source tree")
    files = {str(path) for path in distribution.files if path.parts[0] == "quelbrin" and path.suffix != ".pyc"}
    assert files == STAND_INS | {"quelbrin/py.typed"}
    assert not files & PRODUCT_FILES
    assert "never install it beside the framework" in distribution.metadata["Summary"]
    assert "Never install\nthis distribution beside the real framework" in distribution.metadata.get_payload()
    assert "Private :: Do Not Upload" in distribution.metadata.get_all("Classifier")


def test_support_sdist_builds_the_same_wheel(tmp_path):
    run(sys.executable, "-m", "build", "--sdist", "--outdir", str(tmp_path / "sdist"), str(REPO / "support"))
    [sdist] = (tmp_path / "sdist").glob("*.tar.gz")
    run(sys.executable, "-m", "pip", "wheel", "--quiet", "--no-deps", "--wheel-dir", str(tmp_path / "wheel"),
        str(sdist))
    [wheel] = (tmp_path / "wheel").glob("*.whl")
    files, _, _ = wheel_contents(wheel)
    assert files == STAND_INS | {"quelbrin/py.typed"}


def older_interpreter():
    """A CPython older than 3.12 on this machine, or None."""
    pyenv_root = subprocess.run(["pyenv", "root"], capture_output=True, text=True).stdout.strip() \
        if shutil.which("pyenv") else ""
    candidates = sorted(pathlib.Path(pyenv_root or "/nonexistent").glob("versions/3.1[01].*/bin/python3.1[01]"))
    found = shutil.which("python3.11")
    return str(candidates[-1]) if candidates else found


@pytest.mark.skipif(older_interpreter() is None, reason="no CPython 3.11 or 3.10 on this machine")
class TestOlderInterpreterIsRefusedClearly:
    @pytest.mark.skipif(shutil.which("make") is None, reason="needs make")
    def test_by_the_makefile_before_it_makes_anything(self):
        python = older_interpreter()
        venv = REPO / f".venv-{python.rsplit('python', 1)[1]}"
        environment = {key: value for key, value in os.environ.items() if not key.startswith("MAKE")}
        result = subprocess.run(["make", "--no-print-directory", "-C", str(REPO), "install", f"PYTHON={python}"],
                                capture_output=True, text=True, timeout=60, env=environment)
        assert result.returncode != 0
        assert f"{python} is not CPython 3.12 or 3.13" in result.stderr
        assert "supports CPython 3.12 and 3.13 only" in result.stderr
        assert not venv.exists()

    @pytest.mark.skipif(shutil.which("cmake") is None, reason="needs cmake")
    def test_by_cmake(self, tmp_path):
        result = subprocess.run(["cmake", "-S", str(REPO), "-B", str(tmp_path),
                                 f"-DPython_EXECUTABLE={older_interpreter()}"],
                                capture_output=True, text=True, timeout=120)
        assert result.returncode != 0
        assert "quelbrin-async-native needs CPython 3.12 or 3.13" in " ".join(result.stderr.split())


@pytest.mark.skipif(shutil.which("make") is None, reason="needs make")
@pytest.mark.parametrize("found", [("3.12", "3.13"), ("3.12",), ("3.13",), ()], ids=lambda found: "+".join(found))
def test_ci_interpreter_check_fails_unless_every_supported_interpreter_is_found(tmp_path, found):
    # CI runs `make pythons` first.  The search is pointed at a pyenv root
    # holding only the interpreters of this case, and a PATH holding none.
    for version in found:
        python = tmp_path / "pyenv" / "versions" / f"{version}.0" / "bin" / f"python{version}"
        python.parent.mkdir(parents=True)
        python.write_text("#!/bin/sh\nexit 1\n")
        python.chmod(0o755)
    (tmp_path / "bin").mkdir()
    # PYTHON= in the environment (as a make that runs this suite exports it)
    # would choose the interpreter instead of the search.
    environment = {key: value for key, value in os.environ.items()
                   if not key.startswith("MAKE") and key != "PYTHON"}
    environment.update(PYENV_ROOT=str(tmp_path / "pyenv"), PATH=str(tmp_path / "bin"))
    result = subprocess.run([shutil.which("make"), "--no-print-directory", "-C", str(REPO), "pythons"],
                            capture_output=True, text=True, timeout=60, env=environment)
    missing = [version for version in ("3.12", "3.13") if version not in found]
    assert result.stdout.split() == [word for version in found for word in
                                     ("found:", f"{tmp_path}/pyenv/versions/{version}.0/bin/python{version}")]
    if missing:
        assert result.returncode != 0
        assert f"not found: CPython {' '.join(missing)}" in result.stderr
    else:
        assert result.returncode == 0, result.stderr


def write_wheel(directory, name, version, files):
    """A minimal valid wheel of pure-Python files (a mapping: path -> text)."""
    dist_info = f"{name}-{version}.dist-info"
    contents = {path: text.encode() for path, text in files.items()}
    contents[f"{dist_info}/METADATA"] = f"Metadata-Version: 2.1\nName: {name}\nVersion: {version}\n".encode()
    contents[f"{dist_info}/WHEEL"] = b"Wheel-Version: 1.0\nGenerator: test\nRoot-Is-Purelib: true\nTag: py3-none-any\n"
    record = []
    for path, data in contents.items():
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        record.append(f"{path},sha256={digest},{len(data)}")
    record.append(f"{dist_info}/RECORD,,")
    contents[f"{dist_info}/RECORD"] = ("\n".join(record) + "\n").encode()
    wheel = directory / f"{name}-{version}-py3-none-any.whl"
    with zipfile.ZipFile(wheel, "w") as archive:
        for path, data in contents.items():
            archive.writestr(path, data)
    return wheel


def snapshot(tree):
    return {str(path.relative_to(tree)): hashlib.sha256(path.read_bytes()).hexdigest()
            for path in sorted(tree.rglob("*")) if path.is_file() and "__pycache__" not in path.parts}


def type_check(user_script, python, workdir):
    """mypy --strict and strict pyright on `user_script`, as seen from the environment of `python`."""
    mypy = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--warn-unused-ignores", "--no-incremental",
                           "--no-error-summary", "--python-executable", python, str(user_script)],
                          cwd=workdir, capture_output=True, text=True, timeout=300)
    assert mypy.returncode == 0, mypy.stdout + mypy.stderr
    # Every ignore comment of the script must be needed: a refused call that
    # got through would show that the checker does not see the stubs.
    config = workdir / "pyrightconfig.json"
    config.write_text(json.dumps({"typeCheckingMode": "strict", "reportUnnecessaryTypeIgnoreComment": "error"}))
    pyright = subprocess.run([sys.executable, "-m", "pyright", "--project", str(config), "--pythonpath", python,
                              str(user_script)], cwd=workdir, capture_output=True, text=True, timeout=300,
                             env={**os.environ, "PYRIGHT_PYTHON_IGNORE_WARNINGS": "1"})
    assert pyright.returncode == 0, pyright.stdout + pyright.stderr


def test_installs_beside_the_framework_typed_and_uninstalls_without_touching_it(tmp_path, product_wheel):
    # A framework with the modules the extensions import (the stand-ins' code
    # will do), its own typed markers, and one more file the extensions know
    # nothing of.
    framework_files = {path: (REPO / "support" / path).read_text(encoding="utf-8") for path in STAND_INS}
    framework_files["quelbrin/log/formatters.py"] = "FORMAT = '%(message)s'\n"
    framework_files["quelbrin/py.typed"] = ""
    framework_files["quelbrin/async_/py.typed"] = ""
    framework = write_wheel(tmp_path, "quelbrin", "7.0", framework_files)

    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(tmp_path / "env")], check=True)
    python = str(tmp_path / "env" / "bin" / "python")
    [packages] = (tmp_path / "env" / "lib").glob("python3.*/site-packages")

    def pip(*args):
        return run(sys.executable, "-m", "pip", "--python", python, "--quiet", "--no-input",
                   "--disable-pip-version-check", *args)

    pip("install", "--no-index", "--no-deps", str(framework))
    framework_tree = snapshot(packages)   # the framework's files and its dist-info
    assert set(framework_files) < set(framework_tree)

    pip("install", "--no-index", "--no-deps", str(product_wheel))
    with_product = snapshot(packages)
    assert {path: with_product[path] for path in framework_tree} == framework_tree
    added = {path for path in set(with_product) - set(framework_tree) if ".dist-info/" not in path}
    assert added == PRODUCT_FILES
    probe = ("import importlib.metadata, quelbrin.async_.tandemix as t, quelbrin.async_.synchronize as s, "
             "quelbrin.log.formatters; print(importlib.metadata.version('quelbrin-async-native'), "
             "t.Pcall.pcall(len, iargs=[('ab',)]))")
    assert run(python, "-c", probe, cwd=tmp_path).split() == [project_table(REPO / "pyproject.toml")["version"],
                                                               "(2,)"]
    type_check(TYPED_USAGE, python, tmp_path)

    pip("uninstall", "--yes", PRODUCT)
    assert snapshot(packages) == framework_tree
    assert not (packages / "quelbrin-stubs").exists()
    run(python, "-c", "import quelbrin.async_.exceptions, quelbrin.log.formatters, quelbrin.trevask.steps",
        cwd=tmp_path)


# What a user who installed the extensions without the framework sees on
# import: a fresh interpreter without site-packages, whose only quelbrin is a
# copy of the extensions and the framework files a case gives.
HINT = "needs the quelbrin framework installed beside quelbrin-async-native"
WITHOUT_FRAMEWORK = {
    "no framework at all": ({}, "quelbrin.async_.exceptions", True),
    "no logging package": ({"quelbrin/async_/exceptions.py": "class ExceptionWithTraceback: pass\n"},
                           "quelbrin.log", True),
    # The framework is there: what its own module lacks is not ours to explain.
    "a framework module's own dependency": (
        {"quelbrin/async_/exceptions.py": "class ExceptionWithTraceback: pass\n",
         "quelbrin/log/__init__.py": "import a_dependency_of_the_framework\n"},
        "a_dependency_of_the_framework", False),
}


@pytest.mark.parametrize("case", WITHOUT_FRAMEWORK)
def test_import_without_the_framework_says_what_to_install(tmp_path, case):
    files, missing, explained = WITHOUT_FRAMEWORK[case]
    extensions = tmp_path / "quelbrin" / "async_"
    extensions.mkdir(parents=True)
    for module in (tandemix, synchronize):
        shutil.copy(module.__file__, extensions)
    for path, text in files.items():
        (tmp_path / path).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / path).write_text(text, encoding="utf-8")
    probe = """if True:
        import json
        import quelbrin.async_.synchronize   # imports nothing of the framework
        try:
            import quelbrin.async_.tandemix
        except ImportError as error:
            cause = error.__cause__
            print(json.dumps([type(error).__name__, error.name, str(error), type(cause).__name__,
                              getattr(cause, "name", None), str(cause)]))
    """
    result = subprocess.run([sys.executable, "-S", "-c", probe], cwd=tmp_path, capture_output=True, text=True,
                            timeout=60, env={**os.environ, "PYTHONPATH": str(tmp_path)})
    assert result.returncode == 0, result.stderr
    kind, name, message, cause_kind, cause_name, cause_message = json.loads(result.stdout)
    assert (kind, name) == ("ModuleNotFoundError", missing)
    if explained:
        assert message.startswith(f"No module named '{missing}': ") and HINT in message and SUPPORT in message
        assert (cause_kind, cause_name, cause_message) == ("ModuleNotFoundError", missing,
                                                           f"No module named '{missing}'")
    else:
        assert (message, cause_kind) == (f"No module named '{missing}'", "NoneType")
