# The Python side under the sanitizers, each run against a build of its own with the
# runtime preloaded into the interpreter (PYTHONMALLOC=malloc, so every object is a heap
# block the sanitizer sees):
#   tsan             ThreadSanitizer (build-tsan/): the C++ tests, and the Python tests of
#                    the capture threads (start/stop, the hand-over, the frames iterator,
#                    thread failures, exit and Ctrl+C while they run). Any report fails
#                    the step, in the subprocesses of those tests too.
#   pytest-sanitize  AddressSanitizer and UndefinedBehaviorSanitizer: the whole Python
#                    suite against the modules of `make sanitize` (build-san/).
# Both use gcc's runtimes; g++ depends on them, listed for a machine that lacks them.
DEB_PACKAGES += libtsan2 libasan8 libubsan1

# Tests that count frames or time waits against the clock: the instrumented builds run
# several times slower, so their counts say nothing there. The plain pytest step runs them.
CLOCK_BOUND_TESTS := $(addprefix --deselect tests/python/, \
  test_background.py::test_pacing_and_video_mode test_background.py::test_timer_failures_fall_back \
  test_background.py::test_pacing_holds_when_the_timer_cannot_be_armed \
  test_frames.py::test_schedule_on_an_idle_desktop test_frames.py::test_late_consumer_gets_every_slot_at_once \
  test_frames.py::test_only_the_newest_frame_is_served test_frames.py::test_first_frame_timeout_and_retry \
  test_frames.py::test_a_busy_desktop_is_read_once_per_slot test_cli.py::test_record_stopped_by_signals)

# ASan's operator new ends the process where an impossible allocation would throw, and its
# shadow memory and quarantine make a resident-memory bound say nothing of the program's.
ASAN_ONLY_DESELECT := --deselect tests/python/test_simulated_machine.py::test_a_cpp_exception_is_raised_not_thrown \
  --deselect tests/python/test_cli.py::test_record_faster_than_the_encoder_stays_bounded

# The stack-size test measures the plain build's frames; under the TSan runtime the same
# depth overflows the thread's 2 MiB. The plain and ASan runs keep it.
TSAN_CPP_FILTER := -OsThread.HasTwoMebibytesOfStack

TSAN_PYTESTS ?= tests/python/test_background.py tests/python/test_frames.py tests/python/test_reliability.py
# ThreadSanitizer also defers signals to its own safe points, so a latency bound on Ctrl+C
# measures it rather than the module.
# From Python 3.13 the interpreter's threads are joinable, and a daemon thread it ends at exit
# is never joined: TSan reports that as a leak of the interpreter's own thread.
TSAN_ONLY_DESELECT := --deselect tests/python/test_reliability.py::test_ctrl_c_in_a_slot_wait_consumes_no_slot \
  --deselect tests/python/test_reliability.py::test_interpreter_exit_with_a_daemon_thread_in_a_wait
TSAN_RUNTIME = $(shell g++ -print-file-name=libtsan.so)
# Reports go to files: pytest captures the standard error of a
# process the sanitizer ends, so the recipes print the files when a run fails.
TSAN_ENV = TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1 log_path=$(CURDIR)/build-tsan/report" \
  PYTHONMALLOC=malloc
# The C++ runtime is preloaded too: ASan binds its exception interceptors when it starts,
# and the interpreter would otherwise load libstdc++ only with the module.
ASAN_RUNTIME = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libstdc++.so)
# The interpreter is not built for leak checking; the C++ tests check leaks.
ASAN_ENV = ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:log_path=$(CURDIR)/build-san/report \
  UBSAN_OPTIONS=print_stacktrace=1:log_path=$(CURDIR)/build-san/report PYTHONMALLOC=malloc

.PHONY: tsan pytest-sanitize

tsan: deps
	$(call configure,build-tsan)
	$(CMAKE) --build build-tsan -j $(JOBS) --target vistrel_tests _vistrel _vistrel_sim vistrel_package
	@rm -f build-tsan/report.*
	$(TSAN_ENV) build-tsan/tests/cpp/vistrel_tests --gtest_brief=1 --gtest_filter=$(TSAN_CPP_FILTER) || { cat build-tsan/report.* 2>/dev/null; exit 1; }
	$(TSAN_ENV) LD_PRELOAD=$(TSAN_RUNTIME) PYTHONPATH=build-tsan/python timeout 900 \
	  $(PYTHON) -m pytest -q -p no:cacheprovider $(CLOCK_BOUND_TESTS) $(TSAN_ONLY_DESELECT) $(TSAN_PYTESTS) \
	  || { cat build-tsan/report.* 2>/dev/null; exit 1; }

pytest-sanitize: deps
	$(call configure,build-san)
	$(CMAKE) --build build-san -j $(JOBS) --target _vistrel _vistrel_sim vistrel_package
	@rm -f build-san/report.*
	$(ASAN_ENV) LD_PRELOAD="$(ASAN_RUNTIME)" PYTHONPATH=build-san/python timeout 1200 \
	  $(PYTHON) -m pytest -q -p no:cacheprovider $(CLOCK_BOUND_TESTS) $(ASAN_ONLY_DESELECT) tests/python \
	  || { cat build-san/report.* 2>/dev/null; exit 1; }

TEST_STEPS += tsan pytest-sanitize
