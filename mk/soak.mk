# The soak runs (not part of `make test`): on the simulated machine, tens of thousands of
# grabs and lifecycle cycles with resident memory and live simulated objects reported; on
# X11 (where its module is built), grabs keeping 0, 1 and 100 arrays alive with resident
# memory, descriptors and shared-memory segments reported.
.PHONY: soak
soak: build x11
	PYTHONPATH=build/python $(PYTHON) tests/soak/soak.py $(if $(SOAK_SCALE),--scale $(SOAK_SCALE))
	PYTHONPATH=build-x11/python $(PYTHON) tests/soak/x11_soak.py $(if $(SOAK_SCALE),--scale $(SOAK_SCALE))
