# One command each sets everything up on a fresh machine: find CPython 3.12,
# make .venv, install the package with its test extras, then run.
PYENV_ROOT ?= $(shell pyenv root 2>/dev/null || echo $(HOME)/.pyenv)
PYTHON ?= $(or $(lastword $(sort $(wildcard $(PYENV_ROOT)/versions/3.12.*/bin/python3.12))),$(shell command -v python3.12 2>/dev/null),$(lastword $(sort $(wildcard $(PYENV_ROOT)/versions/3.13.*/bin/python3.13))),$(shell command -v python3.13 2>/dev/null))
VENV := .venv
VPY := $(VENV)/bin/python
STAMP := $(VENV)/.installed
SOURCES := pyproject.toml CMakeLists.txt $(shell find src -type f -not -name '*.pyc' 2>/dev/null)

.PHONY: demo test bench install sanitize valgrind wheel-check clean

demo: $(STAMP)
	$(VPY) examples/demo.py

test: $(STAMP)
	$(VPY) -m pytest

# Benchmarks against their yardsticks; prints a table, writes bench/results.json.
bench: $(STAMP)
	$(VPY) bench/run.py $(BENCH_ARGS)

install: $(STAMP)

$(VPY):
	@test -n "$(PYTHON)" || { echo "CPython 3.12 not found: install it (pyenv install 3.12) or pass PYTHON=/path/to/python3.12"; exit 1; }
	@"$(PYTHON)" -c 'import sys; sys.exit(sys.implementation.name != "cpython" or sys.version_info[:2] not in ((3, 12), (3, 13)))' || { echo "$(PYTHON) is not CPython 3.12 or 3.13"; exit 1; }
	"$(PYTHON)" -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip

$(STAMP): $(SOURCES) | $(VPY)
	$(VPY) -m pip install --quiet ".[test]"
	@touch $@

# The whole suite against extensions built with AddressSanitizer and
# UndefinedBehaviorSanitizer, in a venv of their own.  The interpreter's own
# allocations go through malloc so ASan sees them; leak reports of the
# interpreter itself are switched off.
SANITIZE_VENV := .venv-sanitize
SANITIZE_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g -O1
SANITIZE_PRELOAD = $(shell $(CXX) -print-file-name=libasan.so) $(shell $(CXX) -print-file-name=libubsan.so)

sanitize: $(VPY)
	test -x $(SANITIZE_VENV)/bin/python || "$(PYTHON)" -m venv $(SANITIZE_VENV)
	$(SANITIZE_VENV)/bin/python -m pip install --quiet ".[test]" \
		--config-settings=build-dir=build/sanitize \
		--config-settings=cmake.build-type=Debug \
		"--config-settings=cmake.define.QUELBRIN_EXTRA_FLAGS=$(SANITIZE_FLAGS)"
	PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		LD_PRELOAD="$(SANITIZE_PRELOAD)" \
		$(SANITIZE_VENV)/bin/python -m pytest -p no:cacheprovider $(PYTEST_ARGS)

# memcheck over the in-process and forking tests (the whole suite works too,
# but takes long under valgrind).
VALGRIND_TESTS ?= tests/test_native_functions.py tests/test_pcall_arguments.py tests/test_locking.py \
	tests/test_lockable_meta.py tests/test_child_labor.py tests/test_bad_input.py tests/test_pcall_run.py

valgrind: $(STAMP)
	mkdir -p build && rm -f build/valgrind.*.log
	PYTHONMALLOC=malloc valgrind --tool=memcheck --suppressions=tests/valgrind.supp --error-exitcode=99 \
		--log-file=build/valgrind.%p.log $(VPY) -m pytest -q -p no:cacheprovider $(VALGRIND_TESTS)
	@grep -h "ERROR SUMMARY" build/valgrind.*.log | sort | uniq -c

# Builds the wheel from scratch, installs it with its test extras into a new
# venv, and runs the whole suite against that installation: what a user who
# installs the wheel gets.  Not part of `make test`.
WHEEL_CHECK := build/wheel-check

wheel-check: $(VPY)
	rm -rf $(WHEEL_CHECK)
	$(VPY) -m pip wheel --quiet --no-deps --wheel-dir $(WHEEL_CHECK)/dist \
		--config-settings=build-dir=$(WHEEL_CHECK)/cmake .
	"$(PYTHON)" -m venv $(WHEEL_CHECK)/venv
	$(WHEEL_CHECK)/venv/bin/python -m pip install --quiet "$$(ls $(WHEEL_CHECK)/dist/quelbrin-*.whl)[test]"
	$(WHEEL_CHECK)/venv/bin/python -m pytest -p no:cacheprovider $(PYTEST_ARGS)

clean:
	rm -rf $(VENV) $(SANITIZE_VENV) build
