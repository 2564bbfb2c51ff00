# The X11 provider: its module built on its own in build-x11/, and tested against real X
# servers (Xvfb, and Xorg with the dummy driver) that the tests start and end themselves.
DEB_PACKAGES += libxcb1-dev libxcb-shm0-dev libxcb-damage0-dev libxcb-xfixes0-dev libxcb-randr0-dev \
                xvfb xserver-xorg-core xserver-xorg-video-dummy x11-xserver-utils
TEST_STEPS += x11-test

.PHONY: x11 x11-test x11-bench

x11: deps
	$(call configure,build-x11)
	$(CMAKE) --build build-x11 -j $(JOBS)

# The shared suite too: the cases that need no simulated machine run on the X11 module.
x11-test: x11
	PYTHONPATH=build-x11/python timeout 600 $(PYTHON) -m pytest -q -p no:cacheprovider tests/x11
	PYTHONPATH=build-x11/python timeout 600 $(PYTHON) -m pytest -q -p no:cacheprovider tests/python

# Side by side with the other ways to grab an X screen, on one Xvfb, as ratios.
x11-bench: x11
	PYTHONPATH=build-x11/python $(PYTHON) bench/x11/x11_bench.py
