# Two entry points do all set-up on first use: `make demo` and `make test`.
VENV ?= .venv
BUILD_DIR ?= build/release
PY := $(VENV)/bin/python
SOURCES := pyproject.toml CMakeLists.txt $(shell find src -type f -not -name '*.pyc' 2>/dev/null)

.PHONY: demo test test-asan bench lint format clean

$(VENV)/.deps: requirements-dev.txt scripts/find-python
	@python=$$(scripts/find-python) && echo "using $$python" && "$$python" -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q -r requirements-dev.txt
	@touch $@

$(VENV)/.installed: $(VENV)/.deps $(SOURCES)
	$(PY) -m pip install -q --no-build-isolation --no-deps --config-settings=build-dir=$(BUILD_DIR) .
	@touch $@

demo: $(VENV)/.installed
	$(PY) examples/demo.py

test: $(VENV)/.installed
	$(PY) -m pytest

lint: $(VENV)/.deps
	$(VENV)/bin/ruff check .
	$(VENV)/bin/ruff format --check .

format: $(VENV)/.deps
	$(VENV)/bin/ruff format .
	$(VENV)/bin/ruff check --fix .
	clang-format -i src/runtime/*.cpp src/runtime/*.hpp src/velkor_agent_hooks/*.cpp

clean:
	rm -rf build $(VENV) .venv-asan
