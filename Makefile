# Every target is self-sufficient on a fresh machine: it makes its own virtual environment and
# installs what it needs into it.
PYTHON ?= python3
VENV   ?= .venv
PY     := $(VENV)/bin/python
# The stand-ins of the platform package (vq) and the control helper of the SDK stand-in.
STANDIN_PY := $(CURDIR)/standin/python
TEST_ENV   := PYTHONPATH=$(STANDIN_PY) PYTHONDONTWRITEBYTECODE=1

.PHONY: all install test demo clean

all: install

# CMake and ninja come from the machine when it has recent enough ones, else from PyPI.
BUILD_DEPS := "scikit-build-core>=0.10" \
  $(shell cmake --version 2>/dev/null | awk 'NR==1 { split($$3, v, "."); ok = v[1] > 3 || (v[1] == 3 && v[2] >= 21) } END { if (!ok) print "cmake>=3.21" }') \
  $(shell command -v ninja >/dev/null 2>&1 || echo ninja)
TEST_DEPS  := "pytest>=7" "hypothesis>=6"

$(VENV)/.build-deps: pyproject.toml
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --disable-pip-version-check $(BUILD_DEPS)
	touch $@

$(VENV)/.deps: $(VENV)/.build-deps
	$(PY) -m pip install --quiet --disable-pip-version-check $(TEST_DEPS)
	touch $@

# Builds the extension and the SDK stand-in and installs both into the environment. The build
# tree under build/ is kept, so a second run only rebuilds what changed.
install: $(VENV)/.build-deps
	$(PY) -m pip install --quiet --disable-pip-version-check --no-build-isolation --force-reinstall --no-deps .

# The whole suite, then the part of it that must hold for any success number, with a non-zero one.
test: install $(VENV)/.deps
	$(TEST_ENV) $(PY) -m pytest -q tests
	$(TEST_ENV) VQ_CSDK_OPERATE_SUCCESS=7 $(PY) -m pytest -q -m success_constant tests

# The main job: a short strategy session on the SDK stand-in.
demo: install
	$(TEST_ENV) $(PY) examples/ma_cross.py

clean:
	rm -rf build dist $(VENV) .pytest_cache


# ---- bench: c_sdk's call cost against the other ways to bind the same SDK (bench/README.md) ----
# `make bench` builds c_sdk and its peers under bench/out/build and measures (about 6 minutes);
# `make bench QUICK=1` is the short run. Results: bench/out/results.md and bench/out/chart.png.
BENCH_VENV := bench/.venv
BENCH_PY   := $(BENCH_VENV)/bin/python

.PHONY: bench

$(BENCH_VENV)/.deps: bench/requirements.txt
	$(PYTHON) -m venv $(BENCH_VENV)
	$(BENCH_PY) -m pip install --quiet --upgrade pip
	$(BENCH_PY) -m pip install --quiet -r bench/requirements.txt
	touch $@

bench: $(BENCH_VENV)/.deps
	$(BENCH_PY) bench/run.py --build $(if $(QUICK),--quick)
