# Thin wrapper around CMake; see README.md.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all build test run bench clean

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Boots the default machine (machines/default.reg) and bridges its ports to pseudo-terminals.
run: build
	$(BUILD)/tools/zelsim/zelsim $(ARGS)

clean:
	rm -rf $(BUILD)
