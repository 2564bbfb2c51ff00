# libFuzzer targets (fuzz/): built with clang in build-fuzz/. `make fuzz-smoke` runs each
# for FUZZ_SMOKE_SECONDS over the committed corpus and is part of `make test`; `make fuzz`
# runs each for FUZZ_SECONDS and keeps what it learns in fuzz/corpus/<target>/.
FUZZ_TARGETS := convert_fuzz cursor_fuzz region_fuzz
FUZZ_SMOKE_SECONDS ?= 20
FUZZ_SECONDS ?= 600

# libFuzzer ships in the compiler runtime of clang's own version: 14 on Debian 12, 19 on 13.
CLANG_MAJOR := $(shell clang --version 2>/dev/null | sed -n 's/.*clang version \([0-9][0-9]*\).*/\1/p' | head -n 1)
ifeq ($(CLANG_MAJOR),)
CLANG_MAJOR := $(shell . /etc/os-release 2>/dev/null; case "$$VERSION_ID" in 12) echo 14;; 13) echo 19;; esac)
endif
DEB_PACKAGES += clang $(if $(CLANG_MAJOR),libclang-rt-$(CLANG_MAJOR)-dev)

.PHONY: fuzz fuzz-smoke fuzz-build

fuzz-build: deps
	@test -f build-fuzz/build.ninja || $(CMAKE) -S fuzz -B build-fuzz -G Ninja \
	  -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV_BIN)/ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo
	$(CMAKE) --build build-fuzz -j $(JOBS)

fuzz-smoke: fuzz-build
	fuzz/run.sh build-fuzz $(FUZZ_SMOKE_SECONDS) scratch $(FUZZ_TARGETS)

fuzz: fuzz-build
	fuzz/run.sh build-fuzz $(FUZZ_SECONDS) keep $(FUZZ_TARGETS)

TEST_STEPS += fuzz-smoke
