# The whole set-up: `make demo` and `make test`. Each installs what it needs.
BUILD    ?= build
PACKAGES := g++ cmake ninja-build make pkg-config libgtest-dev libzmq3-dev
JOBS     ?= 2

.PHONY: demo test build deps clean

demo: build
	@scripts/demo $(BUILD)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) --timeout 600

build: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD)

deps:
	@scripts/install-deps $(PACKAGES)

clean:
	rm -rf $(BUILD)
