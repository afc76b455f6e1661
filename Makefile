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

.PHONY: all deps build asan test test-cpp test-python test-asan example install clean

all: build

deps:
	@missing=""; for p in $(APT_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  $(SUDO) apt-get update -q && $(SUDO) apt-get install -y -q $$missing; \
	fi
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

test: test-cpp test-python test-asan

example: build
	PYTHONPATH=$(RELEASE)/python $(PYTHON) examples/quickstart.py

install: deps
	$(PYTHON) -m pip install .

clean:
	rm -rf build
