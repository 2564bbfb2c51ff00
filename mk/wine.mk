# The Windows test executables, cross-built with mingw-w64 and run under Wine with Xvfb:
# build-wine/windows (the os layer, the core on Wine's DXGI) and build-wine/sim (the
# core's tests on the simulated machine built for Windows), both over one GoogleTest
# cross-built from Debian's source into build-wine/gtest.
DEB_PACKAGES += wine64 xvfb googletest gcc-mingw-w64-x86-64-posix
WINE_BUILD := build-wine
WINE_GTEST := $(CURDIR)/$(WINE_BUILD)/gtest
WINE_TOOLCHAIN := -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64-x86_64.cmake \
                  -DCMAKE_C_COMPILER=x86_64-w64-mingw32-gcc-posix
TEST_STEPS += wine-test

.PHONY: wine-build wine-test wine-clean

$(WINE_GTEST)/.installed:
	$(CMAKE) -S /usr/src/googletest -B $(WINE_BUILD)/gtest-build -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV_BIN)/ninja \
	  $(WINE_TOOLCHAIN) -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX=$(WINE_GTEST) \
	  -DCMAKE_POLICY_VERSION_MINIMUM=3.10 -Wno-dev
	$(CMAKE) --build $(WINE_BUILD)/gtest-build -j $(JOBS)
	$(CMAKE) --install $(WINE_BUILD)/gtest-build >/dev/null
	touch $@

wine-build: deps $(WINE_GTEST)/.installed
	$(call configure,wine-windows,$(WINE_BUILD)/windows)
	$(CMAKE) --build $(WINE_BUILD)/windows -j $(JOBS) --target vistrel_os_tests vistrel_dxgi_tests
	$(call configure,wine-sim,$(WINE_BUILD)/sim)
	$(CMAKE) --build $(WINE_BUILD)/sim -j $(JOBS) --target vistrel_sim_tests

# With the Linux test binary beside, the run prints both systems' timer lateness.
wine-test: wine-build
	tests/wine/run.sh $(WINE_BUILD) build/tests/cpp/vistrel_tests

clean: wine-clean
wine-clean:
	rm -rf $(WINE_BUILD)
