# The commands people type. `make test` is what CI runs.
PYTHON ?= .venv/bin/python
VENV_BIN := .venv/bin
CMAKE := $(VENV_BIN)/cmake
JOBS ?= $(shell nproc)
DEBIAN_PYTHON := /usr/bin/python3

# Debian packages the build and tests need (the same names on Debian 12 and 13).
DEB_PACKAGES := g++ ninja-build libgtest-dev libbenchmark-dev g++-mingw-w64-x86-64 \
                binutils-mingw-w64-x86-64 python3-dev python3-venv python3-numpy python3-pytest

.PHONY: deps build test test-steps steps-doc ctest sanitize pytest pytest-debian win product layering format format-check wheel bench demo demo-sim pictures clean

deps: .venv/.installed
	@missing=""; for p in $(DEB_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	  else \
	    echo "missing Debian packages; run as root:"; echo "  apt-get install -y$$missing"; exit 1; \
	  fi; \
	fi

.venv/.installed: requirements-dev.txt
	test -x .venv/bin/python || python3 -m venv .venv
	.venv/bin/python -m pip install -q --disable-pip-version-check -r requirements-dev.txt
	touch $@

# $(call configure,PRESET[,DIR]): configures the tree of a preset of CMakePresets.json
# (DIR, where the preset does not name its tree after itself), again when the presets
# change; CMake re-runs itself when its own files change.
define configure
	@dir=$(or $(2),$(1)); \
	if [ ! -f $$dir/build.ninja ] || [ CMakePresets.json -nt $$dir/.preset-stamp ]; then \
	  $(CMAKE) --preset $(1) && touch $$dir/.preset-stamp; \
	fi
endef

build: deps
	$(call configure,build)
	$(CMAKE) --build build -j $(JOBS)

ctest: build
	cd build && ../$(VENV_BIN)/ctest --output-on-failure -j $(JOBS)

# The C++ tests again with AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: deps
	$(call configure,build-san)
	$(CMAKE) --build build-san -j $(JOBS) --target vistrel_tests
	cd build-san && PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=1 ../$(VENV_BIN)/ctest --output-on-failure -j $(JOBS)

pytest: build
	PYTHONPATH=build/python timeout 1200 $(PYTHON) -m pytest -q tests/python

# The same abi3 module under Debian's own interpreter and NumPy, where they exist.
pytest-debian: build
	@if $(DEBIAN_PYTHON) -c "import numpy, pytest" 2>/dev/null; then \
	  PYTHONPATH=build/python $(DEBIAN_PYTHON) -m pytest -q -p no:cacheprovider tests/python/test_module_surface.py; \
	else echo "no Debian python3 with numpy and pytest: skipped"; fi

win: deps
	$(call configure,build-win)
	$(CMAKE) --build build-win -j $(JOBS)
	$(PYTHON) cmake/check_pyd.py x86_64-w64-mingw32-objdump build-win/_vistrel.pyd

# The module as the wheel ships it on Linux (no simulated machine): it links and imports.
product: deps
	$(call configure,build-product)
	$(CMAKE) --build build-product -j $(JOBS)
	$(PYTHON) cmake/check_module.py build-product/python/vistrel/_vistrel.abi3.so

# C++ formatting: the committed .clang-format, applied by the pinned clang-format of .venv.
FORMAT_FILES = $(shell git ls-files '*.cpp' '*.h')
format: deps
	@$(VENV_BIN)/clang-format -i $(FORMAT_FILES) && echo "format: $(words $(FORMAT_FILES)) files"

format-check: deps
	@$(VENV_BIN)/clang-format --dry-run --Werror $(FORMAT_FILES) && echo "format-check: $(words $(FORMAT_FILES)) files formatted"

# No file of a lower layer includes a higher one (the build runs the same check).
layering: deps
	$(PYTHON) cmake/check_layers.py .

# Each topic's targets live in mk/<topic>.mk and add their gate step to TEST_STEPS.
# `make test-steps` prints them; docs/test.md lists the same, checked by `steps-doc`.
TEST_STEPS := steps-doc format-check layering ctest sanitize pytest pytest-debian win product
-include mk/*.mk

# One step after another, then a table of what each took (also when one fails).
test: deps
	@$(PYTHON) tools/run_steps.py $(TEST_STEPS)

test-steps:
	@echo $(TEST_STEPS)

steps-doc: deps
	@$(PYTHON) tools/run_steps.py --check-doc docs/test.md $(TEST_STEPS)

# Benchmarks, as ratios to a baseline measured in the same run. Never part of `make test`.
# Each table prints MISSED beside a target it does not reach; the run fails at the end then.
bench: build
	$(CMAKE) --build build -j $(JOBS) --target vistrel_convert_bench
	@status=0; \
	$(PYTHON) bench/report.py build/bench/vistrel_convert_bench || status=1; \
	PYTHONPATH=build/python $(PYTHON) bench/grab_bench.py || status=1; \
	PYTHONPATH=build/python $(PYTHON) bench/pacing_bench.py || status=1; \
	PYTHONPATH=build/python $(PYTHON) bench/interrupt_bench.py || status=1; \
	$(MAKE) --no-print-directory x11-bench || status=1; \
	$(MAKE) --no-print-directory wayland-bench || status=1; \
	exit $$status

# The main job on a desktop of its own: an Xvfb with moving content, captured by the X11
# module into out/ (a screenshot, a region at a fixed rate, a 3-second MP4).
demo: x11
	PYTHONPATH=build-x11/python $(PYTHON) tools/demo.py

# The same tour of the API on the simulated machine of the test build.
demo-sim: build
	PYTHONPATH=build/python $(PYTHON) examples/demo.py

# The README's pictures (docs/desktop.png, docs/lateness.png), from the X11 module on Xvfb.
pictures: x11
	PYTHONPATH=build-x11/python $(PYTHON) tools/pictures.py

clean:
	rm -rf build build-san build-tsan build-win build-product build-x11 build-fuzz build-pkg dist out
