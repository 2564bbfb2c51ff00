# The Linux module (X11 and Wayland in one) built on its own in build-wayland/, and tested
# against a headless sway that the tests start as an unprivileged user and end themselves.
DEB_PACKAGES += libwayland-dev sway swaybg grim foot util-linux
TEST_STEPS += wayland-test

.PHONY: wayland wayland-test wayland-bench

wayland: deps
	$(call configure,build-wayland,$(PY_OPTIONS) -DVISTREL_TESTS=OFF -DVISTREL_PROVIDER=linux)
	$(CMAKE) --build build-wayland -j $(JOBS)

# The shared suite too: the cases that need no simulated machine run on the Linux module.
wayland-test: wayland
	PYTHONPATH=build-wayland/python timeout 600 $(PYTHON) -m pytest -q -p no:cacheprovider tests/wayland
	PYTHONPATH=build-wayland/python timeout 600 $(PYTHON) -m pytest -q -p no:cacheprovider tests/python

# grab() against grim, and the idle cost of a background capture, on one headless sway.
wayland-bench: wayland
	PYTHONPATH=build-wayland/python $(PYTHON) bench/wayland/wayland_bench.py
