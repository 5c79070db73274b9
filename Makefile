# Everything a fresh machine needs: `make demo` and `make test` create the
# virtual environment with CPython 3.12, install the module and run.
SHELL := /bin/bash
# `make test PYTHON_VERSION=3.13` takes that interpreter and keeps its own
# virtual environment, .venv-3.13, beside the default .venv of 3.12.
PYTHON_VERSION ?= 3.12
VENV ?= $(if $(filter 3.12,$(PYTHON_VERSION)),.venv,.venv-$(PYTHON_VERSION))
PYTHON_BIN := $(shell ls -d $$(pyenv root 2>/dev/null)/versions/$(PYTHON_VERSION)*/bin/python$(PYTHON_VERSION) 2>/dev/null | sort -V | tail -n 1)
ifeq ($(PYTHON_BIN),)
PYTHON_BIN := $(shell command -v python$(PYTHON_VERSION))
endif
PY := $(VENV)/bin/python
SOURCES := $(shell find src stubs python -type f -not -name "*.pyc") CMakeLists.txt pyproject.toml

.PHONY: demo test lint bench evaluate economics sanitize install system-packages clean leaks stress fuzz-state fuzz-features fuzz-json fuzz-toolchain cpp-tests dist dist-test

# Installs the Debian packages listed in .ci/debian-packages.txt that are
# missing (needs root; skipped quietly when everything is there).
system-packages:
	@missing=$$(grep -v '^#' .ci/debian-packages.txt | xargs -r -n1 sh -c 'dpkg -s "$$0" >/dev/null 2>&1 || echo "$$0"'); \
	if [ -n "$$missing" ]; then \
	  echo "installing Debian packages: $$missing"; \
	  SUDO=$$( [ "$$(id -u)" -eq 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && $$SUDO apt-get install -y -qq $$missing >/dev/null; \
	fi

$(PY): | system-packages
	@test -n "$(PYTHON_BIN)" || { echo "python$(PYTHON_VERSION) not found"; exit 1; }
	$(PYTHON_BIN) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

$(VENV)/.requirements: requirements-dev.txt | $(PY)
	$(PY) -m pip install -q -r requirements-dev.txt
	touch $@

$(VENV)/.installed: $(SOURCES) $(VENV)/.requirements
	$(PY) -m pip install -q --no-build-isolation .
	touch $@

# The example page's WebAssembly solver, which examples/web_setup.py writes
# into the page (clang and wasm-ld from lld; 128-bit vectors, four hashes at once).
WASM_SOLVER := examples/work_solver.wasm
$(WASM_SOLVER): examples/work_solver_wasm.c | system-packages
	clang --target=wasm32 -ffreestanding -nostdlib -O3 -msimd128 -Wall -Wextra -Wconversion -Werror \
	    -Wl,--no-entry -Wl,--strip-all -o $@ $<

install: $(VENV)/.installed $(WASM_SOLVER)

demo: install
	$(PY) examples/demo.py

test: install cpp-tests
	$(PY) -m pytest -q

# The gates a change passes before it is pushed: pyflakes, bugbear, import
# order and pyupgrade; both formatters in check mode; strict typing of the
# package.
lint: install
	$(PY) -m ruff check .
	$(PY) -m ruff format --check .
	git ls-files -z '*.cpp' '*.hpp' | xargs -0 clang-format --dry-run -Werror
	$(PY) -m mypy --strict python/quelvar_guard

# The C++ tests of the cores, registered with CTest: one build tree per
# interpreter version (CMake keeps the first one's headers in its cache) and
# one instrumented like the module for `make sanitize`.
CPP_TESTS_SANITIZE ?= OFF
CPP_TESTS_BUILD := build/cpp-tests-$(PYTHON_VERSION)$(if $(filter ON,$(CPP_TESTS_SANITIZE)),-sanitize)
cpp-tests: | system-packages
	cmake -S . -B $(CPP_TESTS_BUILD) -DQUELVAR_BUILD_TESTS=ON -DQUELVAR_SANITIZE=$(CPP_TESTS_SANITIZE) \
	    -DPython_EXECUTABLE=$(PYTHON_BIN) >/dev/null
	cmake --build $(CPP_TESTS_BUILD) --target core_tests -j2 >/dev/null
	ctest --test-dir $(CPP_TESTS_BUILD) --output-on-failure

# The tests that exercise the C++ extension, against a build with
# AddressSanitizer and UndefinedBehaviorSanitizer: the module's own tests
# (tests/*.py, tests/state) and the scoring's, which calls the parsers. The
# server suites (tests/web, tests/guard, tests/evaluation) drive gunicorn,
# uvicorn and Redis through the same calls, slowly under the sanitizers, and
# run in `make test`; `make sanitize PYTEST_ARGS=tests` runs everything. The
# interpreter itself is not instrumented: the runtimes are preloaded, Python's
# allocator is bypassed so that ASan sees every block, and leak detection is
# off because the interpreter keeps allocations alive until exit by design.
SANITIZER_VENV := .venv-sanitize
PYTEST_ARGS ?= tests --ignore=tests/web --ignore=tests/guard --ignore=tests/evaluation
SANITIZER_RUNTIMES := $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libubsan.so)
sanitize: | system-packages
	$(MAKE) --no-print-directory CPP_TESTS_SANITIZE=ON cpp-tests
	$(MAKE) --no-print-directory VENV=$(SANITIZER_VENV) $(SANITIZER_VENV)/.requirements
	$(SANITIZER_VENV)/bin/python -m pip install -q --no-build-isolation \
	    -Ccmake.define.QUELVAR_SANITIZE=ON -Cbuild-dir=build/sanitize .
	LD_PRELOAD="$(SANITIZER_RUNTIMES)" PYTHONMALLOC=malloc \
	    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:halt_on_error=1 \
	    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    QUELVAR_SANITIZED=1 $(SANITIZER_VENV)/bin/python -m pytest -q -p no:cacheprovider $(PYTEST_ARGS)

# The leak check at full size: every call path 200,000 times.
LEAK_CALLS ?= 200000
leaks: install
	QUELVAR_LEAK_CALLS=$(LEAK_CALLS) $(PY) -m pytest -q -s -p no:cacheprovider tests/test_leaks.py

# The thread tests with each phase running STRESS_SECONDS.
STRESS_SECONDS ?= 30
stress: install
	QUELVAR_STRESS_SECONDS=$(STRESS_SECONDS) $(PY) -m pytest -q -p no:cacheprovider tests/state/test_threads.py

bench: install
	$(PY) bench/run_benchmarks.py $(BENCH_ARGS)
	$(if $(BENCH_ARGS),,$(PY) bench/scoring_cost.py --server)

# The detection evaluation (a benchmark: it prints tables and draws
# build/evaluation/roc.png): bot sessions from public movement packages and
# headless Chromium, the human populations, the rules and calibrated models.
# The packages it runs are installed into the environment first.
evaluate: install
	$(PY) -m pip install -q -r requirements-evaluation.txt
	$(PY) -m bench.evaluation.corpora --build $(CORPORA_ARGS)
	$(PY) -m bench.evaluation.evaluate $(EVALUATE_ARGS)

# What a clearance costs a bot and the server (a benchmark: it prints tables
# and draws build/economics/economics.png): bot recipes against the served
# example at the base and highest work, guarded requests a second per
# address and network, the page's time to its first guarded answer in
# headless Chromium. The bot's solver is compiled against libcrypto
# (libssl-dev); not run in CI.
economics: install
	$(PY) -m pip install -q -r requirements-evaluation.txt
	$(PY) bench/clearance_economics.py $(ECONOMICS_ARGS)

# Coverage-guided fuzzing of the C++ cores with clang's libFuzzer, ASan and
# UBSan, for FUZZ_SECONDS: `make fuzz-state` (the state engine against a
# model), `make fuzz-features` (the feature computations against a plain
# reference and the direct transform), `make fuzz-json` (the JSON body's
# walk against simdjson's DOM parser on the fields read, with the tokens of
# fuzz/telemetry_json.dict). Each corpus grows in
# build/fuzz/corpus/<fuzzer> and is kept between runs; a failing input is
# written to build/fuzz/ as crash-*. Prints the executions and the coverage.
FUZZ_SECONDS ?= 60
FUZZ_CXX ?= clang++-14
FUZZ_PACKAGES := clang-14 libclang-rt-14-dev
FUZZ_BUILD := build/fuzz
fuzz-toolchain:
	@missing=$$(for p in $(FUZZ_PACKAGES); do dpkg -s "$$p" >/dev/null 2>&1 || echo "$$p"; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing Debian packages: $$missing"; \
	  SUDO=$$( [ "$$(id -u)" -eq 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && $$SUDO apt-get install -y -qq $$missing >/dev/null; \
	fi

fuzz-state: FUZZER := state_engine_fuzzer
fuzz-features: FUZZER := features_fuzzer
fuzz-json: FUZZER := telemetry_json_fuzzer
fuzz-json: FUZZ_DICT := -dict=fuzz/telemetry_json.dict
fuzz-state fuzz-features fuzz-json: fuzz-toolchain
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DQUELVAR_BUILD_FUZZERS=ON $(if $(PYTHON_BIN),-DPython_EXECUTABLE=$(PYTHON_BIN)) >/dev/null
	cmake --build $(FUZZ_BUILD) --target $(FUZZER) -j2
	mkdir -p $(FUZZ_BUILD)/corpus/$(FUZZER)
	@$(FUZZ_BUILD)/$(FUZZER) $(FUZZ_BUILD)/corpus/$(FUZZER) -max_len=4096 $(FUZZ_DICT) -artifact_prefix=$(FUZZ_BUILD)/ \
	    -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 > $(FUZZ_BUILD)/$(FUZZER).log 2>&1; \
	status=$$?; \
	if [ $$status -ne 0 ]; then tail -n 60 $(FUZZ_BUILD)/$(FUZZER).log; exit $$status; fi; \
	grep -E '^#[0-9]+[[:space:]]+DONE|^stat::(number_of_executed_units|average_exec_per_sec|new_units_added)' \
	    $(FUZZ_BUILD)/$(FUZZER).log

# The sdist and, for each of DIST_PYTHON_VERSIONS, a wheel with libstdc++ and
# libgcc linked in, given by auditwheel the oldest manylinux tag its C library
# symbols allow, and checked with `auditwheel show`. Output in dist/.
DIST_PYTHON_VERSIONS ?= 3.12 3.13
dist: | system-packages
	rm -rf dist build/dist-raw
	$(MAKE) --no-print-directory $(VENV)/.requirements
	$(PY) -m build --sdist --no-isolation --outdir dist .
	set -e; for version in $(DIST_PYTHON_VERSIONS); do \
	  venv=$$( [ "$$version" = 3.12 ] && echo .venv || echo .venv-$$version ); \
	  $(MAKE) --no-print-directory PYTHON_VERSION=$$version VENV=$$venv $$venv/.requirements; \
	  $$venv/bin/python -m pip wheel -q --no-build-isolation --no-deps -w build/dist-raw \
	      -Ccmake.define.QUELVAR_STATIC_RUNTIME=ON -Cbuild-dir=build/dist-$$version . ; \
	done
	$(VENV)/bin/auditwheel repair --plat auto -w dist build/dist-raw/*.whl
	set -e; for wheel in dist/*.whl; do \
	  $(VENV)/bin/auditwheel show "$$wheel" | tee build/dist-raw/show.txt; \
	  tr -s ' \n' ' ' < build/dist-raw/show.txt | grep -q 'consistent with the following platform tag: "manylinux_' \
	    || { echo "$$wheel is not a manylinux wheel"; exit 1; }; \
	done
	ls -l dist

# Installs each wheel of dist/ into a fresh virtual environment without a
# compiler in reach and runs the demo there (tests/test_dist.py).
dist-test: dist
	set -e; for version in $(DIST_PYTHON_VERSIONS); do \
	  venv=$$( [ "$$version" = 3.12 ] && echo .venv || echo .venv-$$version ); \
	  $(MAKE) --no-print-directory PYTHON_VERSION=$$version VENV=$$venv $$venv/.installed; \
	  QUELVAR_DIST_TEST=1 $$venv/bin/python -m pytest -q -p no:cacheprovider tests/test_dist.py; \
	done

clean:
	rm -rf build dist $(VENV)
