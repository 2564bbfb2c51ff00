# The soak run on the simulated machine (not part of `make test`): tens of thousands of
# grabs and lifecycle cycles, with resident memory and live simulated objects reported.
.PHONY: soak
soak: build
	PYTHONPATH=build/python $(PYTHON) tests/soak/soak.py $(if $(SOAK_SCALE),--scale $(SOAK_SCALE))
