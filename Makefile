# Entry points only; CMake does the building.
.PHONY: deps build demo test windows

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
