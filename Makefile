# The two commands of the README: `make test` and `make demo`.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all build build-asan test test-normal test-asan demo clean

all: build

build:
	cmake --preset default
	cmake --build --preset default -j $(JOBS)

build-asan:
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)

test-normal: build
	ctest --preset default

test-asan: build-asan
	ctest --preset asan

# Every test, once in the normal build and once under the sanitizers.
test: test-normal test-asan

demo: build
	sh tools/demo.sh build

clean:
	rm -rf build build-asan
