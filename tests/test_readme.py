"""The README's examples run as written, so the guide cannot drift from the code."""

import os
import pathlib
import re
import site
import subprocess
import sys
import time

import pytest

import quelbrin.async_.tandemix as tandemix

REPO = pathlib.Path(__file__).resolve().parent.parent
README = REPO / "README.md"


def examples():
    """Each ```python block of the README, named after the heading above it."""
    text = README.read_text(encoding="utf-8")
    found = []
    for match in re.finditer(r"^```python\n(.*?)^```$", text, re.S | re.M):
        headings = re.findall(r"^#+ (.+)$", text[: match.start()], re.M)
        # An example that times itself runs alone.
        marks = [pytest.mark.serial] if "time.monotonic" in match.group(1) else []
        found.append(pytest.param(match.group(1), id=f"{len(found) + 1}: {headings[-1]}", marks=marks))
    return found


def test_the_guide_has_its_examples():
    assert len(examples()) >= 6


@pytest.mark.parametrize("code", examples())
def test_example_runs(tmp_path, code):
    script = tmp_path / "example.py"
    script.write_text(code, encoding="utf-8")
    started = time.monotonic()
    result = subprocess.run([sys.executable, "-W", "error::DeprecationWarning", str(script)], cwd=tmp_path,
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stdout + result.stderr
    # A guide whose examples take long is one nobody runs.
    assert time.monotonic() - started < 10


def test_the_stubs_accept_every_example_under_strict_mypy(tmp_path):
    # The examples leave their own functions unannotated, as scripts do;
    # everything else of --strict applies, so a call the stubs refuse fails.
    for number, example in enumerate(examples(), 1):
        (tmp_path / f"example_{number}.py").write_text(example.values[0], encoding="utf-8")
    environment = dict(os.environ)
    extensions_root = pathlib.Path(tandemix.__file__).resolve().parent.parent.parent
    if extensions_root not in [pathlib.Path(path).resolve() for path in site.getsitepackages()]:
        environment["MYPYPATH"] = str(REPO / "src")   # an editable install: the stubs' sources
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--disable-error-code", "no-untyped-def",
                             "--disable-error-code", "no-untyped-call", "--no-error-summary", "."],
                            cwd=tmp_path, capture_output=True, text=True, timeout=300, env=environment)
    assert result.returncode == 0, result.stdout + result.stderr
