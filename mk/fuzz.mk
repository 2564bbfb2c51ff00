# libFuzzer targets (fuzz/): built by the main project with clang in build-fuzz/ (the
# build-fuzz preset, -DVISTREL_FUZZ=ON). `make fuzz-smoke` runs each
# for FUZZ_SMOKE_SECONDS over the committed corpus and is part of `make test`; `make fuzz`
# runs each for FUZZ_SECONDS and keeps what it learns in fuzz/corpus/<target>/.
FUZZ_TARGETS := convert_fuzz cursor_fuzz region_fuzz
FUZZ_SMOKE_SECONDS ?= 20
FUZZ_SECONDS ?= 600

# libFuzzer ships in the compiler runtime of clang's own version; Debian's unversioned
# packages follow the release's default clang (14 on Debian 12, 19 on 13).
DEB_PACKAGES += clang libclang-rt-dev

.PHONY: fuzz fuzz-smoke fuzz-build

fuzz-build: deps
	$(call configure,build-fuzz)
	$(CMAKE) --build build-fuzz -j $(JOBS) --target $(FUZZ_TARGETS)

fuzz-smoke: fuzz-build
	fuzz/run.sh build-fuzz $(FUZZ_SMOKE_SECONDS) scratch $(FUZZ_TARGETS)

fuzz: fuzz-build
	fuzz/run.sh build-fuzz $(FUZZ_SECONDS) keep $(FUZZ_TARGETS)

TEST_STEPS += fuzz-smoke
