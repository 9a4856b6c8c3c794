# Thin front door; CMake does the work. See README.md.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=

# libsqlite3-dev and libmicrohttpd-dev: the headers of --station and --serve
# (lanflash opens the libraries only when asked for them).
DEBIAN_PACKAGES := cmake g++ make libgtest-dev iproute2 util-linux python3 nlohmann-json3-dev libssl-dev \
	libsqlite3-dev libmicrohttpd-dev
# make check also runs the Ansible playbook against simulated sites, and the
# status page in headless Chromium; those tests need root (Chromium runs
# there without its sandbox), so only root installs them.
CHECK_PACKAGES := ansible-core openssh-server chromium

.PHONY: all deps build check demo windows bench clean

all: build

# Installs what is missing when run as root; otherwise names the command.
deps:
	@sh tools/ensure-packages.sh $(DEBIAN_PACKAGES)

# Builds only: it installs nothing and writes nothing outside $(BUILD).
build:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS)

check: deps
	@[ "$$(id -u)" != 0 ] || sh tools/ensure-packages.sh $(CHECK_PACKAGES)
	$(MAKE) build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

demo: deps
	$(MAKE) build
	sh tools/demo.sh $(BUILD)

# Sanitizer runs, each in a build of its own. Any report fails: ASan and UBSan
# end the process at once, TSan at its first race with status 66, and the
# end-to-end harness fails a test whose child printed a report. lanflash.exe
# under Wine is not instrumented: its tests stay with make check, as does the
# Ansible test, which adds nothing of lanflash's own.
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
SANITIZER_ENV := ASAN_OPTIONS=detect_stack_use_after_return=1:strict_string_checks=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	TSAN_OPTIONS=halt_on_error=1:exitcode=66:second_deadlock_stack=1
# The slowest real-time runs of the design's own pauses and give-ups: the
# unit tests take the same code through them on a fake clock, and the runs
# kept here still pass every thread hand-over (link, listener, workers,
# news, console) under both sanitizers. And a bound that would time the
# sanitizer (a reset within 5 s while a worker is fed a 1 MiB image).
SANITIZER_SKIP := ^(wine|sites)\.|^e2e\.(Faults\.(SilentAndClosing|JunkBurst|RefusedConnections)|Sizes/|Reset/Unanswered\.|Download\.(WireTimeLine|BlockZero)|Fleet\.(AllResets|AMachineThatAnnouncesWhileItsWorkerIsFed))
.PHONY: asan tsan fuzz

asan: deps
	cmake -S . -B $(ASAN_BUILD) -DLANFLASH_SANITIZE=address $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && $(SANITIZER_ENV) ctest --output-on-failure -j$(JOBS) -E '$(SANITIZER_SKIP)'

# Where threads meet: the link hand-over, the sender and the whole program.
# A death test forks; the threadsafe style re-runs the binary instead.
tsan: deps
	cmake -S . -B $(TSAN_BUILD) -DLANFLASH_SANITIZE=thread $(CMAKE_FLAGS)
	cmake --build $(TSAN_BUILD) -j$(JOBS)
	cd $(TSAN_BUILD) && $(SANITIZER_ENV) GTEST_DEATH_TEST_STYLE=threadsafe \
		ctest --output-on-failure -j$(JOBS) -R '^(e2e\.|unit\.(Link|YmodemTransmit)\.)' -E '$(SANITIZER_SKIP)'

# libFuzzer needs clang; FUZZ_SECONDS per target.
fuzz: deps
	@sh tools/ensure-packages.sh clang libclang-rt-14-dev
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DLANFLASH_SANITIZE=fuzzer $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD) -j$(JOBS) --target fuzz_announce fuzz_replies
	sh tests/fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# A Release build of its own; the table goes to stdout, the figures to
# $(BENCH_BUILD)/bench-results.json. Takes about seven minutes; BENCH_FLAGS
# go to bench/run.py, e.g. BENCH_FLAGS='--only fast,crowd'.
BENCH_BUILD ?= build-bench
BENCH_FLAGS ?=
bench: deps
	@sh tools/ensure-packages.sh gcc lrzsz socat
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DLANFLASH_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(BENCH_BUILD) -j$(JOBS) --target lanflash machine-sim
	cc -shared -fPIC -O2 -Wall -Wextra -o $(BENCH_BUILD)/no_nodelay.so bench/no_nodelay.c -ldl
	python3 bench/run.py $(BENCH_BUILD) $(BENCH_FLAGS)

# lanflash.exe for 64-bit Windows, cross-compiled with mingw-w64; needs no
# DLL beyond Windows' own.
WINDOWS_BUILD ?= build-windows
windows:
	@sh tools/ensure-packages.sh cmake make g++-mingw-w64-x86-64-posix
	cmake -S . -B $(WINDOWS_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake $(CMAKE_FLAGS)
	cmake --build $(WINDOWS_BUILD) -j$(JOBS)

# The .deb lands in $(BUILD), the Windows .zip in $(WINDOWS_BUILD).
.PHONY: package
package: build windows
	@sh tools/ensure-packages.sh dpkg-dev
	cd $(BUILD) && cpack
	cd $(WINDOWS_BUILD) && cpack

clean:
	rm -rf $(BUILD) $(WINDOWS_BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) $(BENCH_BUILD)
