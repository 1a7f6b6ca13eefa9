# Thin wrapper around CMake; see README.md.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all build test run bench soak clean

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The soak test for SOAK_SECONDS (default ten minutes); SOAK_SEED=N replays a run.
SOAK_SECONDS ?= 600
soak: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target soak_test
	SOAK_SECONDS=$(SOAK_SECONDS) $(BUILD)/tests/soak/soak_test

# Boots the default machine (machines/default.reg) and bridges its ports to pseudo-terminals.
run: build
	$(BUILD)/tools/zelsim/zelsim $(ARGS)

clean:
	rm -rf $(BUILD)
