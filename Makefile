# Two commands matter: `make run` builds and starts the server in ./run (its working directory:
# game_server/ and zts.log live there); `make test` builds and passes the whole test suite,
# plainly, under AddressSanitizer+UndefinedBehaviorSanitizer, and the concurrent tests under
# ThreadSanitizer, after checking the formatting and, with clang, the lock annotations.
# Each first makes sure the Debian packages it needs are there (deploy/packages.txt): as root it
# installs the missing ones, as anyone else it stops with the apt-get command to run.
JOBS ?= 2
CMAKE ?= cmake
RUN_DIR ?= run
PREFIX ?= /usr/local

ENSURE = sh tools/ensure_packages.sh

.PHONY: all build run test packages-run packages-deb packages-test test-plain test-asan test-tsan test-locks bench fuzz format format-check install deb clean

all: build

packages-run:
	@$(ENSURE) run
packages-deb:
	@$(ENSURE) run package
packages-test:
	@$(ENSURE) run package test

# The tests are built when GoogleTest is installed (ZTS_TESTS=AUTO).
build:
	$(CMAKE) -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZTS_TESTS=AUTO
	$(CMAKE) --build build -j$(JOBS)

# Builds the server alone: neither GoogleTest nor the test tools are needed for it.
run: packages-run
	$(CMAKE) -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZTS_TESTS=AUTO
	$(CMAKE) --build build -j$(JOBS) --target zts_server
	mkdir -p $(RUN_DIR)
	cd $(RUN_DIR) && exec ../build/zts_server

test: packages-test format-check test-locks test-plain test-asan test-tsan

test-plain: packages-test
	$(CMAKE) -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZTS_TESTS=ON
	$(CMAKE) --build build -j$(JOBS)
	ctest --test-dir build --output-on-failure -j$(JOBS)

test-asan: packages-test
	$(CMAKE) -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DZTS_TESTS=ON -DZTS_BENCH=OFF -DZTS_SANITIZE=address,undefined
	$(CMAKE) --build build-asan -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir build-asan --output-on-failure -j$(JOBS)

test-tsan: packages-test
	$(CMAKE) -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZTS_TESTS=ON -DZTS_BENCH=OFF -DZTS_SANITIZE=thread
	$(CMAKE) --build build-tsan -j$(JOBS)
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure -j$(JOBS) -R Concurrent

# Builds everything with clang, which checks the lock annotations (-Wthread-safety, as errors).
test-locks: packages-test
	CC=clang CXX=clang++ $(CMAKE) -S . -B build-locks -DCMAKE_BUILD_TYPE=Debug -DZTS_TESTS=ON -DZTS_BENCH=OFF \
	  -DZTS_THREAD_SAFETY=ON
	$(CMAKE) --build build-locks -j$(JOBS)

# libFuzzer binaries for every fuzz/<name>_fuzz.cpp, in build-fuzz/fuzz/ (clang needed);
# `fuzz/run.sh <name> <seconds>` runs one campaign.
# Google Benchmark binaries in build/bench/; the wrk and load scripts are bench/*.sh.
bench: packages-test
	$(CMAKE) -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZTS_TESTS=ON -DZTS_BENCH=ON
	$(CMAKE) --build build -j$(JOBS)

FUZZ_FLAGS = -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer \
  -Wno-error=unused-const-variable
fuzz: packages-test
	CC=clang CXX=clang++ $(CMAKE) -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DZTS_TESTS=ON -DZTS_BENCH=OFF -DZTS_FUZZ=ON -DCMAKE_CXX_FLAGS="$(FUZZ_FLAGS)"
	$(CMAKE) --build build-fuzz -j$(JOBS) --target fuzz_all

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

format-check: packages-test
	git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

install: build
	install -D -m 0755 build/zts_server $(DESTDIR)$(PREFIX)/bin/zts_server
	install -D -m 0755 build/zts_inspect $(DESTDIR)$(PREFIX)/bin/zts_inspect
	install -D -m 0755 build/zts_check $(DESTDIR)$(PREFIX)/bin/zts_check
	install -D -m 0755 build/zts_admin $(DESTDIR)$(PREFIX)/bin/zts_admin

# build-deb/zts-server_<version>_amd64.deb: the binaries and their man pages, the systemd unit,
# /etc/zts/zts.conf, the logrotate rule, the nginx example, and the user zts with /var/lib/zts
# made on installation. Its own build tree holds only what the package ships: no tests.
deb: packages-deb
	$(CMAKE) -S . -B build-deb -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZTS_TESTS=OFF -DZTS_BENCH=OFF
	$(CMAKE) --build build-deb -j$(JOBS)
	cd build-deb && cpack -G DEB

clean:
	rm -rf build build-asan build-tsan build-locks build-fuzz build-deb
