# The hosted Windows runner's workflow and its smoke script cannot run here: check that
# the workflow is well formed and the script type-checks as Windows and as here.
.PHONY: windows-ci-check

windows-ci-check: deps
	$(VENV_BIN)/actionlint .github/workflows/windows.yml
	MYPYPATH=python $(PYTHON) -m mypy --strict --no-incremental --platform win32 tools/windows_smoke.py
	MYPYPATH=python $(PYTHON) -m mypy --strict --no-incremental tools/windows_smoke.py

TEST_STEPS += windows-ci-check
