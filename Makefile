# The README's commands: `make test`, `make demo`, `make install`, `make package`.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
PREFIX ?= /usr/local

.PHONY: all build build-asan programs test test-normal test-asan demo install package bench clean

all: build

# Everything: the programs, the tests and the benchmarks.
build:
	cmake --preset default
	cmake --build --preset default -j $(JOBS)

build-asan:
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)

# The programs with their message file, and nothing else.
programs:
	cmake --preset default
	cmake --build --preset default -j $(JOBS) --target programs

test-normal: build
	ctest --preset default

test-asan: build-asan
	ctest --preset asan

# Every test, once in the normal build and once under the sanitizers.
test: test-normal test-asan

demo: programs
	sh buildtime/demo.sh build

# Installs the programs, the message file and the manual pages under
# $(PREFIX) (and $(DESTDIR), when set, in front of it).
install: programs
	cmake --install build --prefix "$(PREFIX)"

# The Debian package, from a build of the programs alone for /usr.
package:
	cmake --preset package
	cmake --build --preset package -j $(JOBS)
	cd build-package && cpack

# The benchmarks of BENCHMARKS.md, built with optimisation into build-bench/
# (no sanitizers, no tests), each printing one table of the median of
# BENCH_RUNS runs. Shared mode appends a tenth as many records: its figures
# per append hardly depend on the size, and a million would take minutes.
BENCH_RECORDS ?= 1000000
BENCH_SHARED_RECORDS ?= 100000
BENCH_TABLES ?= 1000
BENCH_RUNS ?= 3

bench:
	cmake --preset bench
	cmake --build --preset bench -j $(JOBS)
	build-bench/bench/bench_index $(BENCH_RECORDS) exclusive $(BENCH_RUNS)
	build-bench/bench/bench_index $(BENCH_SHARED_RECORDS) shared $(BENCH_RUNS)
	build-bench/bench/bench_rebuild $(BENCH_RECORDS) $(BENCH_RUNS)
	build-bench/bench/bench_dictionary $(BENCH_TABLES) $(BENCH_RUNS)

clean:
	rm -rf build build-asan build-package build-fuzz build-bench

# The fuzz targets, built with clang into build-fuzz/ (fuzz/README.md).
# With SECONDS=N each also runs for N seconds; the status is nonzero when
# one of them fails.
SECONDS ?= 0
.PHONY: fuzz
fuzz:
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)
	if [ "$(SECONDS)" -gt 0 ]; then sh fuzz/run.sh build-fuzz $(SECONDS); fi
