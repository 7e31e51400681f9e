# Set-up and everyday targets. `make demo` and `make test` work on a fresh clone:
# they create .venv with CPython 3.13, build and install the package into it, then run.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check -q
BUILD_TOOLS := "scikit-build-core>=0.10" cmake ninja
SOURCES := $(shell find src python cmake -type f -not -name '*.pyc') pyproject.toml CMakeLists.txt tools/pgo-train.py

.PHONY: all install demo test wheel-check bench bench-dask clean

all: install

$(VENV)/bin/python:
	PY313="$$(tools/find-python313)" && "$$PY313" -m venv $(VENV)

$(VENV)/.deps: $(VENV)/bin/python pyproject.toml
	$(PIP) install $(BUILD_TOOLS) "pytest>=8" "hypothesis>=6.100" "mypy>=1.11" "atheris>=3.1"
	touch $@

$(VENV)/.installed: $(VENV)/.deps $(SOURCES)
	$(PIP) install --no-build-isolation --no-deps --force-reinstall .
	touch $@

install: $(VENV)/.installed

demo: install
	$(PY) examples/demo.py

# Builds the wheel with `pip wheel .`, installs it into a throwaway venv and runs
# the test suite against the installed copy (not part of `make test`).
wheel-check:
	tools/wheel-check

# Dask, distributed, Kombu and Celery (pyproject's `dask` and `celery` extras) for
# the integrations' tests; the core package imports and works without them.
$(VENV)/.extras: $(VENV)/.deps pyproject.toml
	$(PIP) install $$($(PY) -c 'import tomllib; extras = tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]; print(" ".join(extras["dask"] + extras["celery"]))')
	touch $@

test: install $(VENV)/.extras
	$(MAKE) --no-print-directory fuzz-smoke
	$(PY) -m pytest -q

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
fuzz-smoke: install
	@mkdir -p build
	@$(PY) -c "import atheris" 2>/dev/null || $(PIP) install "atheris>=3.1"
	fuzz/run.sh smoke decode 12 >build/fuzz-smoke-decode.log 2>&1 || { tail -40 build/fuzz-smoke-decode.log; exit 1; }
	fuzz/run.sh smoke roundtrip 9 >build/fuzz-smoke-roundtrip.log 2>&1 || { tail -40 build/fuzz-smoke-roundtrip.log; exit 1; }
	fuzz/run.sh smoke mutate 9 >build/fuzz-smoke-mutate.log 2>&1 || { tail -40 build/fuzz-smoke-mutate.log; exit 1; }
	@grep -H 'number_of_executed_units' build/fuzz-smoke-*.log

# The whole test suite against an -fsanitize=address,undefined build.
build/asan/.built: $(VENV)/.deps $(SOURCES)
	tools/build-variant asan

test-asan: install build/asan/.built
	tools/run-asan $(PY) -m pytest -q -p no:cacheprovider -p asan_pytest_plugin

# Times pyquarl against peer serializers and writes docs/benchmarks.md (takes
# several minutes); `make bench BENCH_ARGS=--quick` is a smoke run. The peers
# are pyproject's `bench` extra, installed here only (not for the tests).
$(VENV)/.bench-deps: $(VENV)/.deps pyproject.toml
	$(PIP) install $$($(PY) -c 'import tomllib; print(" ".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["bench"]))')
	touch $@

bench: install $(VENV)/.bench-deps
	$(PY) bench/run.py $(BENCH_ARGS)
	$(PY) bench/files.py $(BENCH_ARGS)

# pyquarl inside Dask on a LocalCluster of 2 worker processes: gathering task
# results per serialization family, and a Bag filtering one field of stored
# documents. DASK_BENCH_ARGS="--scale 0.05" is a smoke run.
bench-dask: install $(VENV)/.bench-deps $(VENV)/.extras
	$(PY) bench/dask_bench.py $(DASK_BENCH_ARGS)

clean:
	rm -rf build $(VENV) .pytest_cache .hypothesis
