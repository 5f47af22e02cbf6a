# One command each sets everything up on a fresh machine: find CPython 3.12,
# make .venv, install the package with its test extras, then run.
PYENV_ROOT ?= $(shell pyenv root 2>/dev/null || echo $(HOME)/.pyenv)
PYTHON ?= $(or $(lastword $(sort $(wildcard $(PYENV_ROOT)/versions/3.12.*/bin/python3.12))),$(shell command -v python3.12 2>/dev/null))
VENV := .venv
VPY := $(VENV)/bin/python
STAMP := $(VENV)/.installed
SOURCES := pyproject.toml CMakeLists.txt $(shell find src -type f -not -name '*.pyc' 2>/dev/null)

.PHONY: demo test install clean

demo: $(STAMP)
	$(VPY) examples/demo.py

test: $(STAMP)
	$(VPY) -m pytest

install: $(STAMP)

$(VPY):
	@test -n "$(PYTHON)" || { echo "CPython 3.12 not found: install it (pyenv install 3.12) or pass PYTHON=/path/to/python3.12"; exit 1; }
	@"$(PYTHON)" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' || { echo "$(PYTHON) is not CPython 3.12"; exit 1; }
	"$(PYTHON)" -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip

$(STAMP): $(SOURCES) | $(VPY)
	$(VPY) -m pip install --quiet ".[test]"
	@touch $@

clean:
	rm -rf $(VENV) build
