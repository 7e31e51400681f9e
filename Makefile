# Set-up and everyday targets. `make demo` and `make test` work on a fresh clone:
# they create .venv with CPython 3.13, build and install the package into it, then run.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check -q
BUILD_TOOLS := "scikit-build-core>=0.10" cmake ninja
SOURCES := $(shell find src python -type f -not -name '*.pyc') pyproject.toml CMakeLists.txt

.PHONY: all install demo test clean

all: install

$(VENV)/bin/python:
	PY313="$$(tools/find-python313)" && "$$PY313" -m venv $(VENV)

$(VENV)/.deps: $(VENV)/bin/python pyproject.toml
	$(PIP) install $(BUILD_TOOLS) "pytest>=8" "hypothesis>=6.100"
	touch $@

$(VENV)/.installed: $(VENV)/.deps $(SOURCES)
	$(PIP) install --no-build-isolation --no-deps --force-reinstall .
	touch $@

install: $(VENV)/.installed

demo: install
	$(PY) examples/demo.py

test: install
	$(PY) -m pytest -q

clean:
	rm -rf build $(VENV) .pytest_cache .hypothesis
