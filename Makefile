# The whole set-up: `make demo` and `make test`. Each installs what it needs.
BUILD       ?= build
JOBS        ?= 2
FUZZ_SECONDS ?= 15
CHAOS_SECONDS ?= 90
SOAK_SECONDS ?= 240
PACKAGES    := g++ cmake ninja-build make pkg-config libgtest-dev libzmq3-dev \
               nlohmann-json3-dev python3-matplotlib python3-scipy python3-jsonschema dpkg-dev file groff-base lintian \
               libnats-dev nats-server libssl-dev openssl iproute2 prometheus
FUZZ_PACKAGES := clang libclang-rt-14-dev
BENCH_PACKAGES := sockperf python3

.PHONY: demo test build configure release deps package sanitize tsan fuzz chaos bench clean

# The demo builds only the two programs it runs; `make test` then builds the
# rest with the same flags, so nothing is compiled twice.
demo: configure
	cmake --build $(BUILD) --target tfxsrvr tfxclnt
	@scripts/demo $(BUILD)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) --timeout 600

build: configure
	cmake --build $(BUILD)

configure: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTFX_WERROR=ON

deps:
	@scripts/install-deps $(PACKAGES)

# The build users pick first, Release (-O3, link-time optimisation), with
# GCC and warnings as errors: the libraries, the programs and their man
# pages, not the tests, so CI stays short (the tests run in `make test`).
release: deps
	cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTFX_WERROR=ON
	cmake --build build-release --target tfxsrvr tfxclnt tfxkeys qlx manpages

# The two Debian packages, in $(BUILD)/package/: tfxsrvr (the programs) and
# libqlx-dev (the library for programs of one's own).
package: build
	cd $(BUILD) && cpack -B package

# Every test, the end-to-end ones included, under AddressSanitizer and
# UndefinedBehaviorSanitizer.
sanitize: deps
	cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTFX_SANITIZE=ON -DTFX_WERROR=ON
	cmake --build build-sanitize
	ctest --test-dir build-sanitize --output-on-failure -j $(JOBS) --timeout 900

# The threaded code under ThreadSanitizer, in a build of its own: tfxclnt's
# agents and controller (their tests run the programs so built) and libqlx's
# NATS transport; a race fails the test that met it.
tsan: deps
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTFX_TSAN=ON -DTFX_WERROR=ON
	cmake --build build-tsan --target nats_tests qlx_tests
	TSAN_OPTIONS=halt_on_error=1 build-tsan/tests/nats_tests --gtest_filter='Agents.*:Table/Ghosts.*:Table/GatherWait.*:Table/ControlPlane.*'
	TSAN_OPTIONS=halt_on_error=1 build-tsan/tests/qlx_tests --gtest_filter='*Nats*'

# Each fuzz target for FUZZ_SECONDS, with libFuzzer (clang).
fuzz: deps
	@scripts/install-deps $(FUZZ_PACKAGES)
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTFX_FUZZ=ON -DTFX_WERROR=ON
	cmake --build build-fuzz --target fuzz_wire fuzz_endpoint fuzz_commandline fuzz_replytext fuzz_result fuzz_control
	scripts/fuzz build-fuzz $(FUZZ_SECONDS)

# The randomized adversary of `make test` run longer: CHAOS_SECONDS of
# adversaries over ipc:// and again over tcp://, beside the soak for
# SOAK_SECONDS. A fresh seed each time; TFX_CHAOS_SEED=<seed> with the
# CHAOS_SECONDS it printed replays a run.
chaos: build
	TFX_CHAOS_SECONDS=$(CHAOS_SECONDS) TFX_SOAK_SECONDS=$(SOAK_SECONDS) \
		ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) --timeout 900 -R '^(Transports/Chaos|Soak)\.'

# The server against the bare echo service: a table on standard output and
# the same figures as JSON in bench/results/bench.json.
bench: build
	@scripts/install-deps $(BENCH_PACKAGES)
	python3 bench/run_bench.py $(BUILD) --json bench/results/bench.json

clean:
	rm -rf $(BUILD) build-release build-sanitize build-tsan build-fuzz
