# Every target runs inside the project's Python 3.14 environment (tools/py314).
PY314 := tools/py314
BUILD_DIR := $(or $(VORN_BUILD_DIR),build/py314)

.PHONY: test demo build clean env bench stress test-asan fuzz

build:
	$(PY314) true

test:
	$(PY314) ctest --test-dir $(BUILD_DIR) --output-on-failure
	@# The viewers' parsers, on the host, for tests/test_real_viewers.py.
	tools/viewers-env >/dev/null
	VORN_NO_BUILD=1 $(PY314) python3.14 -m pytest

demo:
	$(PY314) python3.14 examples/demo.py

env:
	VORN_NO_BUILD=1 $(PY314) python3.14 -c 'import sys; print("Python", sys.version.split()[0])'

clean:
	rm -rf build vorn_logs

# Longer runs, each a script of its own under tools/.
bench:
	tools/bench

stress:
	tools/stress

test-asan:
	tools/test-asan

fuzz:
	tools/fuzz
