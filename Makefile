# Entry points only; CMake does the building.
.PHONY: deps build demo test windows bench fuzz format

deps:
	scripts/deps.sh

build: deps
	scripts/build-native.sh

demo: deps build
	scripts/demo.sh

test: deps build
	scripts/test.sh

windows: deps
	scripts/build-windows.sh

bench: deps build
	bench/run.sh

# FUZZ_SECONDS sets how long the fuzzer runs.
fuzz: deps
	scripts/fuzz.sh $(or $(FUZZ_SECONDS),60)

# Formats every C++ file with .clang-format (make test checks it).
format: deps
	scripts/format.sh
