# The package people install: the sdist, the manylinux and win_amd64 wheels, and their checks.

# Our own builds turn warnings into errors (CMake reads this); a build from the sdist
# elsewhere does not.
export VISTREL_WERROR := ON

PKG_VERSION = $(shell sed -n 's/^project.vistrel VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
PKG_DIR := build-pkg

.PHONY: wheel sdist pkg-test stubtest

# The sdist, the Linux wheel built from it (as a user's pip would: no -Werror) and repaired
# into its manylinux tag, and the Windows wheel: the Linux one with the cross-built module
# in place of its own, retagged win_amd64.
wheel: deps win
	rm -rf dist $(PKG_DIR)/raw && mkdir -p dist $(PKG_DIR)/raw
	$(PYTHON) -m build --sdist --no-isolation -o dist . > $(PKG_DIR)/sdist.log
	env -u VISTREL_WERROR $(PYTHON) -m pip wheel -v --no-cache-dir --no-deps --no-build-isolation --config-settings=build.verbose=true \
	  -w $(PKG_DIR)/raw dist/vistrel-$(PKG_VERSION).tar.gz > $(PKG_DIR)/sdist-build.log 2>&1
	PATH=$(CURDIR)/$(VENV_BIN):$$PATH $(VENV_BIN)/auditwheel repair -w dist $(PKG_DIR)/raw/vistrel-*.whl
	rm -rf $(PKG_DIR)/win && $(PYTHON) -m wheel unpack -d $(PKG_DIR)/win $(PKG_DIR)/raw/vistrel-$(PKG_VERSION)-*linux*.whl
	rm $(PKG_DIR)/win/vistrel-$(PKG_VERSION)/vistrel/_vistrel.abi3.so
	cp build-win/_vistrel.pyd $(PKG_DIR)/win/vistrel-$(PKG_VERSION)/vistrel/
	mkdir -p $(PKG_DIR)/win/packed && $(PYTHON) -m wheel pack -d $(PKG_DIR)/win/packed $(PKG_DIR)/win/vistrel-$(PKG_VERSION)
	$(PYTHON) -m wheel tags --platform-tag win_amd64 --remove $(PKG_DIR)/win/packed/*.whl
	mv $(PKG_DIR)/win/packed/*.whl dist/
	@ls -l dist

# The stub against the built module; the package and the examples as strict mypy sees them.
stubtest: build
	PYTHONPATH=build/python $(PYTHON) -m mypy.stubtest vistrel._vistrel
	MYPYPATH=build/python $(PYTHON) -m mypy --strict --no-incremental -p vistrel
	PYTHONPATH=build/python $(PYTHON) -m mypy --strict --no-incremental examples

pkg-test: stubtest wheel
	PKG_DIST=$(CURDIR)/dist PKG_DIR=$(CURDIR)/$(PKG_DIR) PYTHONPATH=build/python timeout 900 \
	  $(PYTHON) -m pytest -q -p no:cacheprovider tests/dist

TEST_STEPS += pkg-test
