# The README's commands: `make example` and `make test`. Both install what is
# missing (Debian packages with apt-get, Python packages with pip) first.

PYTHON ?= python3
JOBS ?= $(shell nproc)
RELEASE := build/release
ASAN := build/asan
GENERATOR := $(if $(shell command -v ninja),-G Ninja,)

APT_PACKAGES := g++ cmake libsnappy-dev libgtest-dev libbenchmark-dev
PY_TEST_MODULES := pytest cramjam

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

.PHONY: all deps build asan test test-cpp test-python test-asan example install clean

all: build

deps:
	@$(call apt_install,$(APT_PACKAGES))
	@$(PYTHON) -c "import pytest, cramjam" 2>/dev/null || $(PYTHON) -m pip install -q $(PY_TEST_MODULES)

$(RELEASE)/build.ninja $(RELEASE)/Makefile:
	cmake -S . -B $(RELEASE) $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DPYOSTREL_TESTS=ON \
	  -DPython_EXECUTABLE=$$(command -v $(PYTHON))

build: deps $(RELEASE)/$(if $(GENERATOR),build.ninja,Makefile)
	cmake --build $(RELEASE) -j $(JOBS)

asan: deps
	cmake -S . -B $(ASAN) $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DPYOSTREL_TESTS=ON -DPYOSTREL_SANITIZE=ON \
	  -DPython_EXECUTABLE=$$(command -v $(PYTHON)) >/dev/null
	cmake --build $(ASAN) -j $(JOBS)

test-cpp: build
	$(RELEASE)/qel_tests --gtest_brief=1

test-python: build
	PYTHONPATH=$(RELEASE)/python $(PYTHON) -m pytest -q tests/python

# The sanitizer build runs the C++ tests and, with the runtime preloaded into
# the uninstrumented interpreter, the Python tests.
test-asan: asan
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 $(ASAN)/qel_tests --gtest_brief=1
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  PYTHONPATH=$(ASAN)/python $(PYTHON) -m pytest -q -p no:cacheprovider tests/python

test: test-cpp test-python test-asan fuzz-smoke

example: build
	PYTHONPATH=$(RELEASE)/python $(PYTHON) examples/quickstart.py

install: deps
	$(PYTHON) -m pip install .

clean:
	rm -rf build

# Benchmarks: not part of `make test`. The pip names are pyproject's `bench` extra.
BENCH := build/bench
BENCH_PY_MODULES := 'cramjam>=2.7' orjson msgspec exchange_calendars

.PHONY: bench bench-deps

bench-deps: deps
	@$(PYTHON) -c "import cramjam, orjson, msgspec, exchange_calendars" 2>/dev/null || \
	  $(PYTHON) -m pip install -q $(BENCH_PY_MODULES)

bench: bench-deps
	cmake -S . -B $(BENCH) $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DPYOSTREL_BENCH=ON \
	  -DPython_EXECUTABLE=$$(command -v $(PYTHON)) >/dev/null
	cmake --build $(BENCH) -j $(JOBS)
	$(BENCH)/qel_bench
	PYTHONPATH=$(BENCH)/python $(PYTHON) bench/run.py

# Fuzzing: the libFuzzer harnesses of fuzz/, built with clang under ASan and UBSan.
# Inputs they discover go to fuzz/corpus-new/ (ignored); fuzz/corpus/ holds the
# committed seeds and is only read. A finding leaves fuzz/corpus-new/<harness>-crash-*.
FUZZ := build/fuzz
FUZZ_SECONDS ?= 60
FUZZ_APT_PACKAGES := clang libclang-rt-14-dev
FUZZ_HARNESSES := $(patsubst fuzz/fuzz_%.cc,%,$(wildcard fuzz/fuzz_*.cc))
# A single allocation beyond 256 MiB from a 64 KiB input would be a bound broken.
FUZZ_FLAGS := -rss_limit_mb=2048 -malloc_limit_mb=256 -max_len=65536 -timeout=10 -print_final_stats=1

.PHONY: fuzz fuzz-smoke fuzz-build fuzz-deps

fuzz-deps: deps
	@$(call apt_install,$(FUZZ_APT_PACKAGES))

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
