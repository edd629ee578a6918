# quarn_chess front door: `make test` builds and tests everything on a fresh machine.
#
#   make test          install into .venv, C++ tests and pytest (plain and under ASan/UBSan), typecheck, fuzz
#   make install       only build and install the package and the test requirements into .venv
#   make demo          perft, a PGN file to game tables, a training loop over them, batched self-play
#   make docs          the documentation site into build/docs (charts from bench/results/*.json)
#   make docs-check    the site with warnings as errors, its links, and pages in headless Chromium
#   make bench         build and run the native and Python benchmarks (quarn_chess and quarn_data)
#   make test-torch    install torch into .venv (heavy: PyPI's default wheel pulls GPU libraries) and run tests/python/test_torch.py
#   make soak          the long differential runs against python-chess (a million positions, 10^5 PGN games, game tables)
#   make fuzz          the libFuzzer targets of the core, FUZZ_SECONDS (60) each; test runs 20 s each
#   make asan          only the C++ tests under AddressSanitizer and UBSan
#   make asan-python   pytest against an ASan/UBSan build of the extension
#   make typecheck     the stub against the module (mypy.stubtest), the examples under mypy --strict
#   make format        clang-format every C++ file in place; format-check only reports
#   make clean         remove build/; distclean also removes .venv
#
# PYTHON=/path/to/python3.12 picks the interpreter (default: found by tools/find_python.sh).
# Stamps under build/stamps keep a second run fast; the extension is rebuilt incrementally in
# build/py whenever a source, CMakeLists.txt or pyproject.toml changes.

SHELL := /bin/bash
.SHELLFLAGS := -euo pipefail -c
.ONESHELL:
.DEFAULT_GOAL := test
.DELETE_ON_ERROR:
MAKEFLAGS += --no-print-directory

PYTHON ?=
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
VENV := .venv
VPY := $(VENV)/bin/python
BUILD := build
STAMPS := $(BUILD)/stamps
# Extra arguments for the benchmark programs and pytest, e.g. make test PYTEST_ARGS='-k fen'.
PERFT_BENCH_ARGS ?=
# The native comparison: chess-library's header (benchmark only, never part of the package) and
# the arguments of native_compare, e.g. NATIVE_COMPARE_ARGS='3 1' for three runs one ply shallower.
CHESS_LIBRARY ?= $(CURDIR)/../shared/anchors/chess-library/chess.hpp
NATIVE_COMPARE_ARGS ?=
BENCH_ARGS ?=
PYTEST_ARGS ?=
SOAK_ARGS ?=
PGN_BENCH_ARGS ?=
TABLE_BENCH_ARGS ?=
PGN_SOAK_ARGS ?=
LOADER_BENCH_ARGS ?=
LOADER_SOAK_ARGS ?=
ENV_BENCH_ARGS ?=
FUZZ_SECONDS ?= 60

# Everything the extension is built from. sources.list changes when a file appears or vanishes.
MODULE_SOURCES := $(shell find src python -name '*.cpp' -o -name '*.h' -o -name '*.pyi' -o -name '*.py' -o -name py.typed 2>/dev/null) \
	CMakeLists.txt pyproject.toml $(wildcard cmake/*.cmake)
FORMAT_FILES = $(shell find src tests/cpp bench fuzz -maxdepth 3 \( -name '*.cpp' -o -name '*.h' \) \
	2>/dev/null | sort)

# pip on these machines warns about configured index folders that do not exist; drop that noise.
PIP_QUIET := grep -v 'is ignored: it is neither a file nor a directory' || true
# cmake --build runs make; keep the outer make's flags and jobserver away from it. Recipes set
# $$cmake from tools/find_cmake.sh; ctest is the one installed beside it.
NO_MAKE_ENV := env -u MAKEFLAGS -u MFLAGS -u MAKELEVEL
CMAKE_BUILD := $(NO_MAKE_ENV) "$$cmake" --build
CTEST := $(NO_MAKE_ENV) "$$(dirname "$$cmake")/ctest"
CTEST_FLAGS := --output-on-failure --no-tests=error -j $(JOBS)
ASAN_ENV := ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:check_initialization_order=1 \
	UBSAN_OPTIONS=print_stacktrace=1

.PHONY: test cpp-deps test-cpp test-python asan asan-python typecheck install demo bench soak \
	test-torch fuzz fuzz-short docs docs-check charts \
	format format-check clean distclean help FORCE

test: install test-cpp asan test-python asan-python typecheck fuzz-short

help:
	@sed -n '3,20s/^# \{0,1\}//p' Makefile

# --- Python environment ----------------------------------------------------------------------

# The venv is recreated whenever the chosen interpreter differs from the one it was built with.
# It carries the build requirements too, so the extension builds without pip's isolated env.
$(VENV)/.quarn-python: FORCE
	@py=$$(tools/find_python.sh "$(PYTHON)")
	if [[ -x $(VPY) && "$$(cat $@ 2>/dev/null)" == "$$py" ]]; then exit 0; fi
	echo "creating $(VENV) with $$py"
	rm -rf $(VENV) $(BUILD)/py $(BUILD)/asan-py
	"$$py" -m venv $(VENV)
	$(VPY) -m pip install -q 'scikit-build-core>=0.11' 'ninja>=1.10' 2>&1 | { $(PIP_QUIET); }
	echo "$$py" > $@

$(STAMPS)/sources.list: FORCE
	@mkdir -p $(@D)
	printf '%s\n' $(sort $(MODULE_SOURCES)) > $@.new
	if cmp -s $@.new $@; then rm -f $@.new; else mv $@.new $@; fi

# What the tests, benchmarks and examples need, installed the ordinary way: a package that PyPI
# ships only as an sdist (python-chess) is built in pip's isolated environment, so nothing here
# depends on wheels an earlier run left in pip's cache.
# requirements-test serves make test; requirements-bench adds the benchmark peers for make bench.
$(STAMPS)/requirements-%: $(VENV)/.quarn-python pyproject.toml tools/requirements.py
	@mkdir -p $(@D)
	echo "installing the requirements of the extra $* into $(VENV)"
	listed=$$($(VPY) tools/requirements.py $*)
	mapfile -t requirements <<<"$$listed"
	if [[ $* == bench ]]; then
		# A peer that fails to build here is left out of the comparison, not fatal.
		for requirement in "$${requirements[@]}"; do
			$(VPY) -m pip install -q "$$requirement" 2>&1 | { $(PIP_QUIET); } ||
				echo "could not install $$requirement: the benchmarks skip it"
		done
	else
		$(VPY) -m pip install -q "$${requirements[@]}" 2>&1 | { $(PIP_QUIET); }
	fi
	touch $@

# Non-editable install of the package itself, built without isolation from the venv's
# scikit-build-core (its requirements are in place already); warnings are errors here.
$(STAMPS)/install: $(STAMPS)/requirements-test $(STAMPS)/sources.list $(MODULE_SOURCES)
	@tools/ensure_deb.sh g++
	cmake=$$(tools/find_cmake.sh)
	echo "building and installing quarn_chess into $(VENV)"
	CMAKE_EXECUTABLE="$$cmake" $(VPY) -m pip install -q --no-build-isolation --no-deps \
		--config-settings=build-dir=$(BUILD)/py \
		--config-settings=cmake.define.QUARN_WERROR=ON \
		. 2>&1 | { $(PIP_QUIET); }
	touch $@

install: $(STAMPS)/install

# --- C++ tests ---------------------------------------------------------------------------------

# Debian packages the C++ builds need, checked (and installed as root) once per make run.
cpp-deps:
	@tools/ensure_deb.sh g++ libgtest-dev
	tools/find_cmake.sh >/dev/null

test-cpp: cpp-deps
	@cmake=$$(tools/find_cmake.sh)
	"$$cmake" -S . -B $(BUILD)/cpp -G 'Unix Makefiles' --log-level=WARNING \
		-DCMAKE_BUILD_TYPE=Release -DQUARN_BUILD_TESTS=ON -DQUARN_WERROR=ON
	$(CMAKE_BUILD) $(BUILD)/cpp -j $(JOBS)
	$(CTEST) $(CTEST_FLAGS) --test-dir $(BUILD)/cpp -L cpp

asan: cpp-deps
	@cmake=$$(tools/find_cmake.sh)
	"$$cmake" -S . -B $(BUILD)/asan -G 'Unix Makefiles' --log-level=WARNING \
		-DCMAKE_BUILD_TYPE=Debug -DQUARN_SANITIZE=ON -DQUARN_BUILD_TESTS=ON -DQUARN_WERROR=ON
	$(CMAKE_BUILD) $(BUILD)/asan -j $(JOBS)
	$(ASAN_ENV) $(CTEST) $(CTEST_FLAGS) --test-dir $(BUILD)/asan -L cpp

# --- Python tests ------------------------------------------------------------------------------

# -P keeps the working directory off sys.path, so only the installed module can be imported.
test-python: install
	@if ! compgen -G 'tests/python/test_*.py' >/dev/null; then
		echo "no Python tests in tests/python yet"
		exit 0
	fi
	$(VPY) -P -m pytest $(PYTEST_ARGS)

# pytest against an instrumented extension, built in build/asan-py and loaded with the sanitizer
# runtime preloaded (see the pytest entry in CMakeLists.txt); quarn_data is assembled beside it.
asan-python: install cpp-deps
	@cmake=$$(tools/find_cmake.sh)
	"$$cmake" -S . -B $(BUILD)/asan-py -G 'Unix Makefiles' --log-level=WARNING \
		-DCMAKE_BUILD_TYPE=Debug -DQUARN_SANITIZE=ON -DQUARN_WERROR=ON \
		-DQUARN_BUILD_MODULE=ON -DQUARN_BUILD_TESTS=ON -DPython_EXECUTABLE=$(CURDIR)/$(VPY)
	$(CMAKE_BUILD) $(BUILD)/asan-py -j $(JOBS) --target quarn_chess quarn_data_native quarn_data_pgn quarn_data_loader quarn_data_env
	$(CTEST) --test-dir $(BUILD)/asan-py -L python -V

# PyTorch for quarn_data.torch's tests (make test skips them without torch). PyPI's default torch
# wheel brings several GB of GPU libraries; where PyTorch's CPU index is reachable,
# TORCH_PIP_ARGS='--index-url https://download.pytorch.org/whl/cpu' installs the light CPU wheel.
TORCH_PIP_ARGS ?=
test-torch: install
	@if ! $(VPY) -c 'import torch' 2>/dev/null; then
		echo "installing torch into $(VENV) (PyPI's default wheel is large)"
		$(VPY) -m pip install -q $(TORCH_PIP_ARGS) torch 2>&1 | { $(PIP_QUIET); }
	fi
	$(VPY) -P -m pytest tests/python/test_torch.py -q $(PYTEST_ARGS)

# --- Type checks -------------------------------------------------------------------------------

# The stub file src/python/quarn_chess.pyi, installed as quarn_chess-stubs, and quarn_data's
# python/quarn_data/_native.pyi must match their modules exactly; the examples must pass as
# strictly typed user code. mypy comes with the test extra.
typecheck: install
	@$(VPY) -P -m mypy.stubtest --mypy-config-file pyproject.toml quarn_chess
	$(VPY) -P -m mypy.stubtest --mypy-config-file pyproject.toml quarn_data \
		--allowlist tools/stubtest_allowlist.txt --ignore-unused-allowlist
	$(VPY) -m mypy --strict examples/

# --- Demo and benchmarks -----------------------------------------------------------------------

demo: install
	@if [[ -f examples/perft.py ]]; then
		$(VPY) examples/perft.py
	else
		$(VPY) -P -c 'import quarn_chess; print(quarn_chess.Board().fen())'
	fi
	rm -rf $(BUILD)/demo-shards
	$(VPY) -P -m quarn_data convert tests/data/random_games.pgn --out $(BUILD)/demo-shards --quiet
	$(VPY) -P examples/train_positions.py $(BUILD)/demo-shards --epochs 2
	$(VPY) -P examples/selfplay_rl.py --envs 1024 --steps 1000 --seed 0

# Coverage-guided fuzzing with clang's libFuzzer (ASan + UBSan); fuzz/run.sh installs clang when
# it is missing. The scratch corpus lives in build/fuzz; the committed seeds are only read.
fuzz:
	@FUZZ_WORK_DIR=$(CURDIR)/$(BUILD)/fuzz fuzz/run.sh $(FUZZ_SECONDS)

fuzz-short:
	@FUZZ_WORK_DIR=$(CURDIR)/$(BUILD)/fuzz fuzz/run.sh 20

# The long differential run against python-chess, e.g. make soak SOAK_ARGS='--positions 5000000'.
soak: install
	@$(VPY) -P tools/soak.py $(SOAK_ARGS)
	$(VPY) -P tools/soak_pgn.py $(PGN_SOAK_ARGS)
	$(VPY) -P tools/soak_loader.py $(LOADER_SOAK_ARGS)
	# quarn_data.env against chess_v6 at every step of a thousand seeded random games.
	QUARN_ENV_GAMES=1000 $(VPY) -P -m pytest -q tests/python/test_env.py -k chess_v6_at_every_step

# bench/run_bench.py finds the native program through QUARN_PERFT_BENCH.
bench: install $(STAMPS)/requirements-bench cpp-deps
	@cmake=$$(tools/find_cmake.sh)
	"$$cmake" -S . -B $(BUILD)/bench -G 'Unix Makefiles' --log-level=WARNING \
		-DCMAKE_BUILD_TYPE=Release -DQUARN_BUILD_TESTS=OFF -DQUARN_BUILD_BENCH=ON -DQUARN_WERROR=ON \
		-DQUARN_CHESS_LIBRARY_HEADER="$(abspath $(CHESS_LIBRARY))"
	$(CMAKE_BUILD) $(BUILD)/bench -j $(JOBS)
	export QUARN_PERFT_BENCH=$(CURDIR)/$(BUILD)/bench/perft_bench
	ran=0
	if [[ -f bench/run_bench.py ]]; then $(VPY) bench/run_bench.py $(BENCH_ARGS); ran=1; fi
	if [[ -f bench/run_data_bench.py ]]; then $(VPY) bench/run_data_bench.py $(BENCH_ARGS); ran=1; fi
	if [[ -f bench/pgn_bench.py ]]; then $(VPY) -P bench/pgn_bench.py $(PGN_BENCH_ARGS); ran=1; fi
	if [[ -f bench/loader_bench.py ]]; then $(VPY) -P bench/loader_bench.py $(LOADER_BENCH_ARGS); ran=1; fi
	if [[ -f bench/table_bench.py ]]; then $(VPY) -P bench/table_bench.py $(TABLE_BENCH_ARGS); ran=1; fi
	if [[ -f bench/env_bench.py ]]; then $(VPY) -P bench/env_bench.py $(ENV_BENCH_ARGS); ran=1; fi
	if [[ -x $$QUARN_PERFT_BENCH ]]; then $$QUARN_PERFT_BENCH $(PERFT_BENCH_ARGS); ran=1; fi
	if [[ -f "$(CHESS_LIBRARY)" && -x $(BUILD)/bench/native_compare ]]; then
		$(VPY) bench/native_results.py $(BUILD)/bench/native_compare $(NATIVE_COMPARE_ARGS)
	else
		echo "native comparison skipped: no chess-library header at $(CHESS_LIBRARY) (set CHESS_LIBRARY=...)"
	fi
	((ran)) || echo "no benchmarks yet (bench/run_bench.py, bench/*.cpp)"
	$(VPY) -P tools/plot_bench.py

# --- Documentation -----------------------------------------------------------------------------

# The site: charts drawn from bench/results/*.json into docs/_static/charts, then Sphinx into
# build/docs. docs-check rebuilds from scratch with warnings as errors, checks every internal
# link and anchor, and opens pages in headless Chromium (Debian's package), saving screenshots.
SPHINX_ARGS ?=
charts: $(STAMPS)/requirements-docs
	@$(VPY) -P tools/plot_bench.py

docs: install $(STAMPS)/requirements-docs charts
	@$(VPY) -P -m sphinx -b html -q docs $(BUILD)/docs $(SPHINX_ARGS)
	echo "the site is in $(BUILD)/docs/index.html"

docs-check: install $(STAMPS)/requirements-docs charts
	@tools/ensure_deb.sh chromium
	rm -rf $(BUILD)/docs $(BUILD)/docs-shots
	$(VPY) -P -m sphinx -b html -q -E -W --keep-going docs $(BUILD)/docs $(SPHINX_ARGS)
	$(VPY) -P tools/check_docs.py $(BUILD)/docs --shots $(BUILD)/docs-shots

# --- Formatting --------------------------------------------------------------------------------

format:
	@tools/ensure_deb.sh clang-format
	clang-format -i $(FORMAT_FILES)

format-check:
	@tools/ensure_deb.sh clang-format
	bad=0
	for file in $(FORMAT_FILES); do
		clang-format --dry-run --Werror "$$file" >/dev/null 2>&1 || { echo "not formatted: $$file"; bad=1; }
	done
	((!bad)) || { echo "run 'make format' to fix"; exit 1; }

# --- Cleaning ----------------------------------------------------------------------------------

clean:
	rm -rf $(BUILD)

distclean: clean
	rm -rf $(VENV) .pytest_cache .hypothesis
	find . -name __pycache__ -type d -prune -exec rm -rf {} +

FORCE:
