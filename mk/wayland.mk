# The Linux module (X11 and Wayland in one, as `make product` builds it in build-product/)
# tested against a headless sway that the tests start as an unprivileged user and end
# themselves.
DEB_PACKAGES += libwayland-dev sway swaybg grim foot util-linux
# A GNOME-shaped stream (pointer metadata, no damage): headless mutter.
DEB_PACKAGES += mutter
# The portal route: the module loads libdbus and libpipewire at run time (headers only
# here); the tests run the portal stack themselves on a private bus.
DEB_PACKAGES += libdbus-1-dev libpipewire-0.3-dev libspa-0.2-dev pipewire pipewire-bin wireplumber \
  xdg-desktop-portal xdg-desktop-portal-wlr dbus-daemon dbus-bin
TEST_STEPS += wayland-test

.PHONY: wayland-test wayland-bench

# The shared suite too: the cases that need no simulated machine run on the Linux module.
wayland-test: product
	PYTHONPATH=build-product/python timeout 600 $(PYTHON) -m pytest -q -p no:cacheprovider tests/wayland
	PYTHONPATH=build-product/python timeout 600 $(PYTHON) -m pytest -q -p no:cacheprovider tests/python

# grab() against grim and against a bare screencopy client (the compositor's limit), the
# latency of a change, and the idle cost of a background capture, on one headless sway.
wayland-bench: product build-product/screencopy_limit
	PYTHONPATH=build-product/python $(PYTHON) bench/wayland/wayland_bench.py

build-product/screencopy_limit: bench/wayland/screencopy_limit.cpp platform/wayland/protocols.cpp platform/wayland/protocols.h
	$(CXX) -O2 -std=c++20 -Wall -Wextra -Werror -I. bench/wayland/screencopy_limit.cpp platform/wayland/protocols.cpp \
	    -lwayland-client -o $@
