# Thin front door; CMake does the work. See README.md.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=

DEBIAN_PACKAGES := cmake g++ make libgtest-dev iproute2 util-linux python3

.PHONY: all deps build check demo windows bench clean

all: build

# Installs what is missing when run as root; otherwise names the command.
deps:
	@sh tools/ensure-packages.sh $(DEBIAN_PACKAGES)

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS)

check: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

demo: build
	sh tools/demo.sh $(BUILD)

clean:
	rm -rf $(BUILD)
