# Thin wrapper over CMake. Both commands first check (and, as root, install)
# the Debian packages the build needs: scripts/install-deps.sh.
#   make demo   builds the four programs and runs them on the bundled examples
#   make test   builds everything and runs every test
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
PROGRAMS = vortan goniang dbwsconv cif2exp

.PHONY: all deps configure build programs demo test clean

all: build

deps:
	@sh scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

programs: configure
	cmake --build $(BUILD) -j $(JOBS) --target $(PROGRAMS)

demo: programs
	@sh examples/demo.sh $(BUILD)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD)
