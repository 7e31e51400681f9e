# Set-up and everyday targets. `make demo` and `make test` work on a fresh clone:
# they create .venv with CPython 3.13, build and install the package into it, then run.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check -q
BUILD_TOOLS := "scikit-build-core>=0.10" cmake ninja
# pyproject's extras, read from it so that the two lists cannot drift apart
EXTRA = $$($(PY) -c 'import sys, tomllib; print(" ".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"][sys.argv[1]]))' $(1))
SOURCES := $(shell find src python cmake -type f -not -name '*.pyc') pyproject.toml CMakeLists.txt tools/pgo-train.py

.PHONY: all install demo test wheel wheel-check bench bench-dask clean mutation dev

all: install

$(VENV)/bin/python:
	PY313="$$(tools/find-python313)" && "$$PY313" -m venv $(VENV)

# Build tools only: enough for `make install` and `make demo`.
$(VENV)/.deps: $(VENV)/bin/python
	$(PIP) install $(BUILD_TOOLS)
	touch $@

# Test tools (pyproject's `test` extra, plus atheris for the fuzz smoke run).
$(VENV)/.test-deps: $(VENV)/.deps pyproject.toml
	$(PIP) install $(call EXTRA,test) "atheris>=3.1"
	touch $@

# PGO off said outright: `make bench` leaves it on in the build directory's cache.
$(VENV)/.installed: $(VENV)/.deps $(SOURCES)
	$(PIP) install --no-build-isolation --no-deps --force-reinstall -C cmake.define.PYQUARL_PGO=OFF .
	touch $@

install: $(VENV)/.installed

# The edit loop: rebuilds only the changed sources into build/dev/site, which
# links the package's Python files; run tests against it with
# PYTHONPATH=build/dev/site .venv/bin/python -m pytest -q tests/test_x.py
dev: $(VENV)/.deps
	tools/dev-build

demo: install
	$(PY) examples/demo.py

# The release package in dist/: an sdist, and a profile-guided manylinux wheel
# built from that sdist (so the sdist is known to build), kept to an older C++
# runtime and tagged by `auditwheel repair`.
$(VENV)/.release-deps: $(VENV)/.deps pyproject.toml
	$(PIP) install $(call EXTRA,release)
	touch $@

wheel: $(VENV)/.release-deps
	tools/build-release dist

# Installs the wheel of dist/ (made by `make wheel` when missing) into a
# throwaway venv with no build tools and runs the test suite against it.
wheel-check:
	@ls dist/pyquarl-*manylinux*.whl >/dev/null 2>&1 || $(MAKE) --no-print-directory wheel
	tools/wheel-check

# Dask, distributed, Kombu and Celery (pyproject's `dask` and `celery` extras) for
# the integrations' tests; the core package imports and works without them.
$(VENV)/.extras: $(VENV)/.deps pyproject.toml
	$(PIP) install $(call EXTRA,dask) $(call EXTRA,celery)
	touch $@

test: install $(VENV)/.test-deps $(VENV)/.extras
	$(MAKE) --no-print-directory fuzz-smoke
	$(PY) -m pytest -q

# Plants each fault of tools/mutations.toml in turn, rebuilds incrementally and
# runs the suite on it; prints the kill rate and the survivors (see docs/testing.md).
# `make mutation MUTATION_ARGS="--only ID ..."` runs a few.
mutation: install
	$(PY) tools/mutation.py $(MUTATION_ARGS)

# ---- hardening: fuzzing and the sanitizer build ----------------------------
.PHONY: fuzz fuzz-smoke test-asan
FUZZ_SECONDS ?= 600
FUZZ_TARGETS ?= decode roundtrip mutate
FUZZ_NICE ?= 15

# Coverage-guided fuzzing of the clang build (installs clang when missing):
# each target runs FUZZ_SECONDS, one after the other.
build/fuzz/.built: $(VENV)/.deps $(SOURCES)
	tools/build-variant fuzz

fuzz: install build/fuzz/.built
	@$(PY) -c "import atheris" 2>/dev/null || $(PIP) install "atheris>=3.1"
	for target in $(FUZZ_TARGETS); do \
	  nice -n $(FUZZ_NICE) fuzz/run.sh native $$target $(FUZZ_SECONDS) || exit 1; \
	done

# 30 seconds on the regular build, replaying the seeds and regressions first.
fuzz-smoke: install $(VENV)/.test-deps
	@mkdir -p build
	@$(PY) -c "import atheris" 2>/dev/null || $(PIP) install "atheris>=3.1"
	fuzz/run.sh smoke decode 12 >build/fuzz-smoke-decode.log 2>&1 || { tail -40 build/fuzz-smoke-decode.log; exit 1; }
	fuzz/run.sh smoke roundtrip 9 >build/fuzz-smoke-roundtrip.log 2>&1 || { tail -40 build/fuzz-smoke-roundtrip.log; exit 1; }
	fuzz/run.sh smoke mutate 9 >build/fuzz-smoke-mutate.log 2>&1 || { tail -40 build/fuzz-smoke-mutate.log; exit 1; }
	@grep -H 'number_of_executed_units' build/fuzz-smoke-*.log

# The whole test suite against an -fsanitize=address,undefined build.
build/asan/.built: $(VENV)/.deps $(SOURCES)
	tools/build-variant asan

test-asan: install $(VENV)/.test-deps build/asan/.built
	tools/run-asan $(PY) -m pytest -q -p no:cacheprovider -p asan_pytest_plugin

# Times pyquarl against peer serializers and writes docs/benchmarks.md (takes
# several minutes); `make bench BENCH_ARGS=--quick` is a smoke run. The peers
# are pyproject's `bench` extra, installed here only (not for the tests).
$(VENV)/.bench-deps: $(VENV)/.deps pyproject.toml
	$(PIP) install $(call EXTRA,bench)
	touch $@

# Measures the profile-guided build, as the wheels ship it; the next `make install`
# puts the everyday build back.
bench: $(VENV)/.deps $(VENV)/.bench-deps
	$(PIP) install --no-build-isolation --no-deps --force-reinstall -C cmake.define.PYQUARL_PGO=ON .
	rm -f $(VENV)/.installed
	$(PY) bench/run.py $(BENCH_ARGS)
	$(PY) bench/files.py $(BENCH_ARGS)
	$(PY) bench/random_access.py $(BENCH_ARGS)

# pyquarl inside Dask on a LocalCluster of 2 worker processes: gathering task
# results per serialization family, and a Bag filtering one field of stored
# documents. DASK_BENCH_ARGS="--scale 0.05" is a smoke run.
bench-dask: install $(VENV)/.bench-deps $(VENV)/.extras
	$(PY) bench/dask_bench.py $(DASK_BENCH_ARGS)

clean:
	rm -rf build dist $(VENV) .pytest_cache .hypothesis
