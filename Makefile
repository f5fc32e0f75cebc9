# Two entry points do all set-up on first use: `make demo` and `make test`.
VENV ?= .venv
BUILD_DIR ?= build/release
PY := $(VENV)/bin/python
SOURCES := pyproject.toml CMakeLists.txt $(shell find src -type f -not -name '*.pyc' 2>/dev/null)

.PHONY: demo test test-asan test-hosts test-crewai test-hermes bench lint format clean

$(VENV)/.deps: requirements-dev.txt scripts/find-python
	@python=$$(scripts/find-python) && echo "using $$python" && "$$python" -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q -r requirements-dev.txt
	@touch $@

$(VENV)/.installed: $(VENV)/.deps $(SOURCES)
	$(PY) -m pip install -q --no-build-isolation --no-deps --config-settings=build-dir=$(BUILD_DIR) .
	@touch $@

# Hosts whose pins conflict with the main venv's (CrewAI, Hermes Agent) get a venv each,
# .venv-<host>, from requirements-<host>.txt, with this package built into it.
HOSTS := crewai hermes
HOST_INSTALLED := $(foreach h,$(HOSTS),.venv-$(h)/.installed)
.PRECIOUS: .venv-%/.deps .venv-%/.installed

.venv-%/.deps: requirements-%.txt scripts/find-python
	@test -x .venv-$*/bin/python || "$$(scripts/find-python)" -m venv .venv-$*
	.venv-$*/bin/python -m pip install -q -r requirements-$*.txt
	@touch $@

.venv-%/.installed: .venv-%/.deps $(SOURCES)
	.venv-$*/bin/python -m pip install -q --no-build-isolation --no-deps \
		--config-settings=build-dir=build/$* .
	@touch $@

demo: $(VENV)/.installed $(HOST_INSTALLED)
	$(PY) examples/demo.py

test: $(VENV)/.installed
	$(PY) -m pytest
	$(MAKE) --no-print-directory test-hosts

test-hosts: $(foreach h,$(HOSTS),test-$(h))

test-crewai: .venv-crewai/.installed
	.venv-crewai/bin/python -m pytest tests/hosts/crewai

test-hermes: .venv-hermes/.installed
	.venv-hermes/bin/python -m pytest tests/hosts/hermes

bench: $(VENV)/.installed
	cd bench && ../$(PY) run.py

# AddressSanitizer + UndefinedBehaviorSanitizer build of both modules, whole suite.
ASAN_VENV := .venv-asan
$(ASAN_VENV)/.installed: $(VENV)/.deps $(SOURCES)
	@test -x $(ASAN_VENV)/bin/python || "$$(scripts/find-python)" -m venv $(ASAN_VENV)
	$(ASAN_VENV)/bin/python -m pip install -q -r requirements-dev.txt
	# The oldest uvicorn the server allows, so both ends of the range are tested.
	$(ASAN_VENV)/bin/python -m pip install -q "uvicorn[standard]==$$(sed -n 's/.*uvicorn\[standard\]>=\([0-9.]*\),.*/\1/p' pyproject.toml)"
	VELKOR_SANITIZE=ON $(ASAN_VENV)/bin/python -m pip install -q --no-build-isolation --no-deps \
		--config-settings=build-dir=build/asan --config-settings=cmake.build-type=Debug .
	@touch $@

test-asan: $(ASAN_VENV)/.installed
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	PYTHONMALLOC=malloc VELKOR_SANITIZED=1 $(ASAN_VENV)/bin/python -m pytest -p no:cacheprovider

CXX_SOURCES := $(wildcard src/runtime/*.cpp src/runtime/*.hpp src/velkor_agent_hooks/*.cpp)

lint: $(VENV)/.deps
	$(VENV)/bin/ruff check .
	$(VENV)/bin/ruff format --check .
	$(VENV)/bin/clang-format --dry-run -Werror $(CXX_SOURCES)

format: $(VENV)/.deps
	$(VENV)/bin/ruff format .
	$(VENV)/bin/ruff check --fix .
	$(VENV)/bin/clang-format -i $(CXX_SOURCES)

clean:
	rm -rf build $(VENV) .venv-asan $(foreach h,$(HOSTS),.venv-$(h))
