# Two commands matter: `make run` builds and starts the server in ./run (its working directory:
# game_server/ and zts.log live there); `make test` builds and passes the whole test suite,
# plainly, under AddressSanitizer+UndefinedBehaviorSanitizer, and the concurrent tests under
# ThreadSanitizer, after checking the formatting and, with clang, the lock annotations.
JOBS ?= 2
CMAKE ?= cmake
RUN_DIR ?= run
PREFIX ?= /usr/local

.PHONY: all build run test test-plain test-asan test-tsan test-locks bench fuzz format format-check install deb clean

all: build

build:
	$(CMAKE) -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
	$(CMAKE) --build build -j$(JOBS)

run: build
	mkdir -p $(RUN_DIR)
	cd $(RUN_DIR) && exec ../build/zts_server

test: format-check test-locks test-plain test-asan test-tsan

test-plain: build
	ctest --test-dir build --output-on-failure -j$(JOBS)

test-asan:
	$(CMAKE) -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DZTS_BENCH=OFF -DZTS_SANITIZE=address,undefined
	$(CMAKE) --build build-asan -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir build-asan --output-on-failure -j$(JOBS)

test-tsan:
	$(CMAKE) -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZTS_BENCH=OFF -DZTS_SANITIZE=thread
	$(CMAKE) --build build-tsan -j$(JOBS)
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure -j$(JOBS) -R Concurrent

# Builds everything with clang, which checks the lock annotations (-Wthread-safety, as errors).
test-locks:
	CC=clang CXX=clang++ $(CMAKE) -S . -B build-locks -DCMAKE_BUILD_TYPE=Debug -DZTS_BENCH=OFF \
	  -DZTS_THREAD_SAFETY=ON
	$(CMAKE) --build build-locks -j$(JOBS)

# libFuzzer binaries for every fuzz/<name>_fuzz.cpp, in build-fuzz/fuzz/ (clang needed);
# `fuzz/run.sh <name> <seconds>` runs one campaign.
# Google Benchmark binaries in build/bench/; the wrk and load scripts are bench/*.sh.
bench:
	$(CMAKE) -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZTS_BENCH=ON
	$(CMAKE) --build build -j$(JOBS)

FUZZ_FLAGS = -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer \
  -Wno-error=unused-const-variable
fuzz:
	CC=clang CXX=clang++ $(CMAKE) -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DZTS_BENCH=OFF -DZTS_FUZZ=ON -DCMAKE_CXX_FLAGS="$(FUZZ_FLAGS)"
	$(CMAKE) --build build-fuzz -j$(JOBS) --target fuzz_all

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

format-check:
	git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

install: build
	install -D -m 0755 build/zts_server $(DESTDIR)$(PREFIX)/bin/zts_server
	install -D -m 0755 build/zts_inspect $(DESTDIR)$(PREFIX)/bin/zts_inspect
	install -D -m 0755 build/zts_check $(DESTDIR)$(PREFIX)/bin/zts_check
	install -D -m 0755 build/zts_admin $(DESTDIR)$(PREFIX)/bin/zts_admin

# build/zts-server_<version>_amd64.deb: the binaries, the systemd unit, /etc/zts/zts.conf, and
# the user zts with /var/lib/zts made on installation.
deb: build
	cd build && cpack -G DEB

clean:
	rm -rf build build-asan build-tsan build-locks build-fuzz
