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

$(VENV)/.deps: pyproject.toml Makefile
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet "scikit-build-core>=0.10" "cmake>=3.21" ninja "pytest>=7" "hypothesis>=6"
	touch $@

# Builds the extension and the SDK stand-in and installs both into the environment. The build
# tree under build/ is kept, so a second run only rebuilds what changed.
install: $(VENV)/.deps
	$(PY) -m pip install --quiet --no-build-isolation --force-reinstall --no-deps .

# The whole suite, then the part of it that must hold for any success number, with a non-zero one.
test: install
	$(TEST_ENV) $(PY) -m pytest -q tests
	$(TEST_ENV) VQ_CSDK_OPERATE_SUCCESS=7 $(PY) -m pytest -q -m success_constant tests

# The main job: a short strategy session on the SDK stand-in.
demo: install
	$(TEST_ENV) $(PY) examples/session.py

clean:
	rm -rf build dist $(VENV) .pytest_cache
