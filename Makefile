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
TEST_DEPS  := "pytest>=7" "pytest-timeout>=2.1" "hypothesis>=6" "mypy>=1.10"

# tools/venv: the interpreter's own ensurepip, else (Debian's binary interpreters) pip from its wheel.
$(VENV)/.build-deps: pyproject.toml
	bash tools/venv $(PYTHON) $(VENV)
	$(PY) -m pip install --quiet --disable-pip-version-check $(BUILD_DEPS)
	touch $@

# On a free-threaded interpreter the newest releases of some test dependencies have no wheel and
# their source builds need what cannot be fetched: only wheels are taken there (older releases
# that have them), and when no mypy can be had that way, stubtest is skipped (.no-mypy says so).
FREE_THREADED = $(shell $(PY) -c 'import sysconfig; print(1 if sysconfig.get_config_var("Py_GIL_DISABLED") else "")' 2>/dev/null)
$(VENV)/.deps: $(VENV)/.build-deps Makefile
	@rm -f $(VENV)/.no-mypy
	$(if $(FREE_THREADED),$(PY) -m pip install --quiet --disable-pip-version-check --only-binary :all: $(TEST_DEPS) || \
	  { touch $(VENV)/.no-mypy; $(PY) -m pip install --quiet --disable-pip-version-check --only-binary :all: $(filter-out "mypy%,$(TEST_DEPS)); },\
	  $(PY) -m pip install --quiet --disable-pip-version-check $(TEST_DEPS))
	touch $@

# The explicit stand-in build: the extension with the SDK stand-in (a test double) bundled in
# c_sdk.libs/, installed into the environment; everything here (tests, demo, benchmarks) runs on
# it. It has a build tree of its own (build/standin/<wheel tag>), kept, so a second run only
# rebuilds what changed; a plain `pip install .` builds in build/<wheel tag> and bundles nothing.
# The compiler's progress lines show; the whole build log is build/standin/install.log.
INSTALL_LOG := build/standin/install.log
# UNTESTED_PYTHON=1 builds on a CPython newer than the newest tested one (docs/building.md).
UNTESTED_OPTS := $(if $(UNTESTED_PYTHON),--ignore-requires-python --config-settings=cmake.define.CSDK_UNTESTED_PYTHON=ON)
install: $(VENV)/.build-deps
	@mkdir -p build/standin
	@echo "make install: c_sdk with the SDK stand-in (VQSDK_STANDIN=ON) into $(VENV); log: $(INSTALL_LOG)"
	@bash -o pipefail -c '$(PY) -m pip install -v --disable-pip-version-check --no-build-isolation --force-reinstall --no-deps $(UNTESTED_OPTS) \
	  --config-settings=build-dir=build/standin/{wheel_tag} --config-settings=cmake.define.VQSDK_STANDIN=ON . 2>&1 \
	  | tee $(INSTALL_LOG) | { grep --line-buffered -E "^ *\[ *[0-9]+(/[0-9]+|%)\]" || true; }' \
	  || { tail -n 60 $(INSTALL_LOG); echo "make install: failed; see $(INSTALL_LOG)"; exit 1; }

# ---- wheels: what a platform can ship ------------------------------------------------------------
# For each supported CPython the machine has: the plain wheel (no SDK library bundled), repaired by
# auditwheel to a manylinux tag with libvqsdk.so left out, and checked in a fresh environment
# (tools/wheels). The wheels go to dist/; the work trees to build/wheels/. WHEELS="3.12" narrows it.
WHEELS ?= 3.10 3.11 3.12 3.13 3.13t 3.14 3.15

.PHONY: wheels
wheels:
	WHEEL_DEPS='$(subst ",,$(BUILD_DEPS))' bash tools/wheels $(WHEELS)

# The whole suite, then the part of it that must hold for any success number, with a non-zero one.
test: install $(VENV)/.deps
	$(TEST_ENV) $(PY) -m pytest -q tests
	$(TEST_ENV) VQ_CSDK_OPERATE_SUCCESS=7 $(PY) -m pytest -q -m success_constant tests
	@if [ -f $(VENV)/.no-mypy ]; then echo "make test: stubtest SKIPPED: no mypy wheel installs on $$($(PY) -c 'import sys; print(sys.version.split()[0])') (free-threaded)"; else \
	  echo "$(TEST_ENV) $(PY) -m mypy.stubtest c_sdk ..."; \
	  $(TEST_ENV) $(PY) -m mypy.stubtest c_sdk --allowlist stubs/stubtest-allowlist.txt --mypy-config-file stubs/mypy.ini; fi

# The allocation-failure sweep (tests/test_nomemory.py, also part of `make test`) with every call
# swept five times over, under the interpreter's debug allocator, which catches a write past a
# block or a use of a freed one.
.PHONY: test-nomemory
test-nomemory: install $(VENV)/.deps
	$(TEST_ENV) PYTHONMALLOC=debug CSDK_NOMEMORY_ROUNDS=5 $(PY) -m pytest -q tests/test_nomemory.py

# The main job: a short strategy session on the SDK stand-in.
demo: install
	$(TEST_ENV) $(PY) examples/ma_cross.py

clean:
	rm -rf build dist $(VENV) .pytest_cache

# ---- test-matrix ------------------------------------------------------------------------------
# The whole suite under each supported CPython the machine has, each in its own environment
# (.venv-X.Y) through `make test`; a version it lacks is skipped with a line saying so. X.Yt is the
# free-threaded build of tools/build-python (built into the cache when missing), run with the GIL
# off (PYTHON_GIL=0). 3.14 and 3.15 come from Debian's binary packages where their source cannot be
# fetched; 3.14t and 3.15t need the source (Debian ships no free-threaded binary) and are skipped
# with a line saying so until it can be fetched. A version past the newest tested one builds with
# UNTESTED_PYTHON=1.
# MATRIX="3.12 3.13" narrows the run; MATRIX_JOBS=2 runs two versions at a time. The logs go to
# build/test-matrix/.
MATRIX      ?= 3.10 3.11 3.12 3.13 3.13t 3.14 3.14t 3.15 3.15t
MATRIX_JOBS ?= 1

.PHONY: test-matrix clean-matrix
test-matrix:
	MAKE="$(MAKE)" MATRIX_JOBS="$(MATRIX_JOBS)" bash tools/test-matrix $(MATRIX)

clean-matrix:
	rm -rf $(foreach v,$(MATRIX),.venv-$(v)) build/test-matrix

# ---- interpreters: CPython from the Debian packages (tools/build-python) ----------------------
# `make python PYVER=3.13 FLAVOUR=ft` builds (or finds, when cached) CPython PYVER into
# ${XDG_CACHE_HOME:-~/.cache}/c_sdk/cpython/PYVER-FLAVOUR/bin/python3, from the source package,
# else (`make python PYVER=3.14`: the source answers 404 here) from the binary packages of Debian's
# testing suite. FLAVOUR: default (the default), ft (free-threaded), ft-tsan (free-threaded with
# ThreadSanitizer); the free-threaded ones need the source.
PYVER   ?= 3.13
FLAVOUR ?= default

.PHONY: python
python:
	bash tools/build-python $(PYVER) $(FLAVOUR)

# ---- test-parallel: the thread-safe tests, each run by several threads at once, on 3.13t -------
# pytest-run-parallel runs the body of every test in PARALLEL_THREADS threads at once, with the GIL
# off, in the 3.13t environment of the test matrix (.venv-3.13t). Tests that drive the SDK
# stand-in, capture output, patch shared state or rebind the module's globals are skipped
# (tests/conftest.py marks them thread-unsafe): they would fail on their own races, not the
# module's; the races between threads are tests/test_concurrency.py. Every test runs threads, so
# each has a timeout (pytest-timeout).
PARALLEL_THREADS ?= 4
# Seconds per test: a deadlock fails the test, not the run.
PARALLEL_TIMEOUT ?= 120
PARALLEL_TESTS   ?= $(addprefix tests/test_,bindings.py events.py exposed.py global_lookups.py helpers.py \
  hostile.py hostile_python.py namespace.py records.py shapes.py special_rows.py threads.py)
FT_PYVER         ?= 3.13

.PHONY: test-parallel
test-parallel:
	@py=$$(bash -c 'source tools/find-python; find_python $(FT_PYVER)t'); \
	case "$$py" in "!"*) echo "make test-parallel: no free-threaded CPython $(FT_PYVER):$${py#!}"; exit 1 ;; esac; \
	$(MAKE) --no-print-directory install PYTHON="$$py" VENV=.venv-$(FT_PYVER)t && \
	$(MAKE) --no-print-directory .venv-$(FT_PYVER)t/.deps PYTHON="$$py" VENV=.venv-$(FT_PYVER)t
	.venv-$(FT_PYVER)t/bin/python -m pip install --quiet --disable-pip-version-check --only-binary :all: \
	  "pytest-run-parallel>=0.4" "pytest-timeout>=2"
	$(TEST_ENV) PYTHON_GIL=0 .venv-$(FT_PYVER)t/bin/python -m pytest -q -p no:cacheprovider \
	  --parallel-threads=$(PARALLEL_THREADS) --skip-thread-unsafe=True --timeout=$(PARALLEL_TIMEOUT) $(PARALLEL_TESTS)

# ---- tsan: the threads' tests against a ThreadSanitizer build, on the ThreadSanitizer 3.13t ----
# The module and the SDK stand-in built with -fsanitize=thread (CSDK_TSAN) in build/tsan, against
# the ft-tsan interpreter of tools/build-python (built when missing), with the GIL off. Any report
# fails the run; tools/tsan.supp holds the interpreter's own known reports, each with its reason.
.PHONY: tsan
tsan:
	TSAN_DEPS='$(subst ",,$(filter-out "scikit-build-core%,$(BUILD_DEPS)))' bash tools/tsan

# ---- bench: c_sdk's call cost against the other ways to bind the same SDK (bench/README.md) ----
# `make bench` builds c_sdk and its peers under bench/out/build and measures (about 6 minutes);
# `make bench QUICK=1` is the short run. Results: bench/out/results.md and bench/out/chart.png.
# They are built for and run on the interpreter of the bench's environment (bench/.venv, made with
# PYTHON); `make bench BENCH_PYVER=3.14` takes the CPython 3.14 the test matrix would (the
# machine's, else tools/build-python's), with its own environment (bench/.venv-3.14) and results
# (bench/out/3.14/).
ifdef BENCH_PYVER
BENCH_PYTHON = $(shell bash -c 'source tools/find-python; find_python $(BENCH_PYVER)')
BENCH_VENV  := bench/.venv-$(BENCH_PYVER)
BENCH_OUT   := bench/out/$(BENCH_PYVER)
else
BENCH_PYTHON = $(PYTHON)
BENCH_VENV  := bench/.venv
BENCH_OUT   := bench/out
endif
BENCH_PY   := $(BENCH_VENV)/bin/python

.PHONY: bench

$(BENCH_VENV)/.deps: bench/requirements.txt
	@py='$(BENCH_PYTHON)'; case "$$py" in "!"*) echo "make bench: no CPython $(BENCH_PYVER):$${py#!}"; exit 1 ;; esac; \
	  bash tools/venv "$$py" $(BENCH_VENV)
	$(BENCH_PY) -m pip install --quiet --upgrade pip
	$(BENCH_PY) -m pip install --quiet -r bench/requirements.txt
	touch $@

bench: $(BENCH_VENV)/.deps
	$(BENCH_PY) bench/run.py --build $(if $(QUICK),--quick) --out $(BENCH_OUT) --build-dir $(BENCH_OUT)/build

# ---- sanitize: the whole suite against an AddressSanitizer + UBSan build ----------------------
# Builds the extension and the SDK stand-in (VQSDK_STANDIN) instrumented (CSDK_SANITIZE) in build/sanitize (with
# the environment's CMake when the machine has none), and runs the suite on them. The interpreter
# is not instrumented: the sanitizer runtimes are preloaded into it, and PYTHONMALLOC=malloc hands
# every Python object to ASan's allocator. Leak detection is off: the interpreter leaks at exit by design (the module's
# own leaks are what tests/test_leaks.py looks for). Any finding stops the run; the test runner
# captures sys.stderr only (--capture=sys), so the sanitizer's report reaches the terminal. The
# packaging tests are left out: they build and run outside this build, with the sanitizers off.
SAN_BUILD   := $(CURDIR)/build/sanitize
SAN_RUNTIME  = $(shell $(CXX) -print-file-name=libasan.so) $(shell $(CXX) -print-file-name=libubsan.so)
SAN_ENV      = LD_PRELOAD="$(SAN_RUNTIME)" PYTHONMALLOC=malloc \
               ASAN_OPTIONS=detect_leaks=0:check_initialization_order=1:detect_stack_use_after_return=1 \
               UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
               PYTHONPATH=$(SAN_BUILD):$(STANDIN_PY) PYTHONDONTWRITEBYTECODE=1

.PHONY: sanitize
sanitize: $(VENV)/.deps
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVQSDK_STANDIN=ON -DCSDK_SANITIZE=ON -DCMAKE_CXX_COMPILER=$(CXX) -DPython_EXECUTABLE=$(CURDIR)/$(PY)
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake --build $(SAN_BUILD) --parallel 2
	$(SAN_ENV) $(PY) -c "import c_sdk, sys; sys.exit(not c_sdk.__file__.startswith('$(SAN_BUILD)/'))"
	$(SAN_ENV) $(PY) -m pytest -q --capture=sys -m "not packaging" tests
	$(SAN_ENV) VQ_CSDK_OPERATE_SUCCESS=7 $(PY) -m pytest -q --capture=sys -m success_constant tests

# ---- fuzz-recording: the session-file readers under coverage-guided fuzzing --------------------
# Two fuzzers, seeded from a recording of the demo (tests/fuzz/seeds.py): libFuzzer on the replay
# library's loader (tests/fuzz/fuzz_session.cpp with recorder/session.cpp, under ASan + UBSan;
# clang comes from Debian's packages when the machine has none), and atheris on the Python
# reader and dump (tests/fuzz/fuzz_reader.py; atheris from PyPI into the environment). Each runs
# FUZZ_SECONDS (default 120); any finding stops the target with the input that caused it in
# build/fuzz/. The corpora are kept in build/fuzz/ between runs.
FUZZ_SECONDS ?= 120
FUZZ_DIR     := $(CURDIR)/build/fuzz
FUZZ_CXX     ?= clang++

.PHONY: fuzz-recording
$(VENV)/.fuzz-deps: $(VENV)/.build-deps
	$(PY) -m pip install --quiet --disable-pip-version-check atheris
	touch $@

$(FUZZ_DIR)/fuzz_session: tests/fuzz/fuzz_session.cpp recorder/session.cpp recorder/session.hpp
	@command -v $(FUZZ_CXX) >/dev/null 2>&1 || { echo "fuzz-recording: installing clang (Debian packages)"; \
	  apt-get update -qq && apt-get install -y -qq clang libclang-rt-dev >/dev/null; }
	@mkdir -p $(FUZZ_DIR)
	$(FUZZ_CXX) -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
	  -Irecorder tests/fuzz/fuzz_session.cpp recorder/session.cpp -o $@

fuzz-recording: install $(VENV)/.fuzz-deps $(FUZZ_DIR)/fuzz_session
	@mkdir -p $(FUZZ_DIR)/seeds $(FUZZ_DIR)/corpus-loader $(FUZZ_DIR)/corpus-reader
	@SDK=$$($(TEST_ENV) $(PY) -c "import vqsdk_standin; print(vqsdk_standin.library_path())") && \
	  $(TEST_ENV) $(PY) -m c_sdk_tools.recording record --sdk "$$SDK" -o $(FUZZ_DIR)/demo.vqrec -- \
	    $(PY) examples/ma_cross.py > /dev/null
	$(TEST_ENV) $(PY) tests/fuzz/seeds.py $(FUZZ_DIR)/demo.vqrec $(FUZZ_DIR)/seeds
	cd $(FUZZ_DIR) && bash -o pipefail -c './fuzz_session -max_total_time=$(FUZZ_SECONDS) -max_len=65536 \
	  -print_final_stats=1 corpus-loader seeds 2>&1 | tee loader.log | \
	  { grep -E "^#[0-9]+[[:space:]]+(INITED|DONE)|^stat::(number_of_executed_units|peak_rss)|ERROR|SUMMARY" || true; }'
	cd $(FUZZ_DIR) && $(TEST_ENV) bash -o pipefail -c '$(CURDIR)/$(PY) $(CURDIR)/tests/fuzz/fuzz_reader.py \
	  -max_total_time=$(FUZZ_SECONDS) -max_len=65536 -print_final_stats=1 corpus-reader seeds 2>&1 | tee reader.log | \
	  { grep -E "^#[0-9]+[[:space:]]+(INITED|DONE)|^stat::(number_of_executed_units|peak_rss)|Error|Uncaught" || true; }'
	@echo "fuzz-recording: nothing found (logs: $(FUZZ_DIR)/loader.log, $(FUZZ_DIR)/reader.log)"
