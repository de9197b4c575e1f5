# The two set-up commands of the README: `make run` and `make test`.
BUILD ?= build
JOBS ?= 2
DEPS_FLAGS ?=

.PHONY: deps configure build test run format clean

deps:
	./scripts/install-deps.sh $(DEPS_FLAGS)

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVANE_HARDENING=ON

build: configure
	cmake --build $(BUILD) -j$(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

run: build
	./scripts/run-demo.sh $(BUILD)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD)
