# The PC build on real ROS 2 Humble (scripts/build.sh: ROS 2, the PC's NPU runtime, the two
# packages with colcon as on the robot, then the workspace's tools, benchmarks and node tests).
# Every program runs in the environment of $(BUILD_DIR)/setup.bash.
SHELL := /bin/bash
JOBS ?= $(shell nproc)
BUILD_TYPE ?= RelWithDebInfo
BUILD_DIR ?= build
CTEST_ARGS ?= --output-on-failure -j$(JOBS)
IN_ROS = source $(BUILD_DIR)/setup.bash &&
# The package's own tests (colcon's build folder), then the workspace's.
RUN_TESTS = $(IN_ROS) ctest --test-dir $(BUILD_DIR)/colcon/veltrax_cv_model $(CTEST_ARGS) && \
	    ctest --test-dir $(BUILD_DIR) $(CTEST_ARGS)

.PHONY: setup build test run demo demo-onnx soak sanitize tsan format format-check include-check tidy \
	clean cross-test fuzz fuzz-smoke mutants

setup:
	./scripts/setup.sh

build: setup
	BUILD_DIR=$(BUILD_DIR) BUILD_TYPE=$(BUILD_TYPE) JOBS=$(JOBS) ./scripts/build.sh

test: setup build
	$(RUN_TESTS)

# The installed node alone, started by its launch file with the package's parameters and the PC
# NPU runtime's colour-key model (the demo's model as well); Ctrl-C stops it.
HOST_MODEL ?= host/rknn/models/colour_key_640.yaml
run: setup build
	$(IN_ROS) ros2 launch veltrax_cv_model yolov5s.launch.py model_path:=$(abspath $(HOST_MODEL))

# The node end to end on the generated demo scene (30 frames at 10 Hz); pictures and figures in
# out/ (tools/README.md).
demo: setup build
	$(IN_ROS) ./$(BUILD_DIR)/bin/run_demo --out out --frames 30 --model $(HOST_MODEL)

# The same demo with the host runtime's onnx backend: the key detector network written at build
# time (build/models/, host/rknn/README.md) instead of the colour-key model. The closing note
# compares its detections with the colour-key model's on every frame and times the YOLOv5s-layout
# network on a batch of two 640 x 640 images. Results in out-onnx/, laid out as out/, so the two
# runs stay side by side.
ONNX_MODEL ?= build/models/key_detector_640.yaml
demo-onnx: setup build
	$(IN_ROS) ./$(BUILD_DIR)/bin/run_demo --out out-onnx --frames 30 --model $(ONNX_MODEL) --compare-model $(HOST_MODEL)
	$(IN_ROS) ./$(BUILD_DIR)/bin/bench_onnx_backend --benchmark_min_time=1

# The node for SOAK_CYCLES frame cycles back to back on the demo scene: resident memory and cycle
# time per cycle, a picture and a growth verdict in out/soak (tools/README.md); fails when memory
# grows after the warm-up.
SOAK_CYCLES ?= 10000
soak: setup build
	$(IN_ROS) ./$(BUILD_DIR)/bin/soak --cycles $(SOAK_CYCLES) --out out/soak

# AddressSanitizer + UndefinedBehaviorSanitizer over the whole suite, in build-asan/. rclcpp's
# allocator wrapper (a header template, so instrumented in our programs) frees rcutils' string
# maps with a size they were not allocated with: that one check is off. Test discovery runs the
# programs at build time, so the leak suppressions apply to the build as well.
export ASAN_OPTIONS LSAN_OPTIONS
sanitize: ASAN_OPTIONS = new_delete_type_mismatch=0
sanitize: LSAN_OPTIONS = suppressions=$(CURDIR)/cmake/sanitizers/lsan.supp
sanitize: setup
	$(MAKE) test BUILD_DIR=build-asan BUILD_TYPE=Debug VELTRAX_SANITIZE=address,undefined

# ThreadSanitizer over the whole suite, in build-tsan/. Test discovery runs the programs at build
# time, so the suppressions apply to the build as well.
export TSAN_OPTIONS
tsan: TSAN_OPTIONS = halt_on_error=1 suppressions=$(CURDIR)/cmake/sanitizers/tsan.supp
tsan: setup
	$(MAKE) test BUILD_DIR=build-tsan BUILD_TYPE=Debug VELTRAX_SANITIZE=thread

# The cross test for the robot's CPU (AArch64), in build-aarch64/: the pure modules and their tests
# built for AArch64, the tests run under qemu-aarch64; the node's sources and the PC's NPU runtime
# compiled for AArch64 but not run (the node's against the PC's ROS 2 headers and the generated
# veltrax_protocol headers of $(BUILD_DIR), from `make build`: left out with a message without
# them). The node's tests run on the PC (`make test`) and on the robot (colcon test). The arm64
# sysroot is built once and cached (ARM64_SYSROOT, default /var/tmp/veltrax-arm64-sysroot).
cross-test: setup
	JOBS=$(JOBS) BUILD_TYPE=$(BUILD_TYPE) PC_BUILD_DIR=$(BUILD_DIR) ./scripts/cross-test.sh

# libFuzzer targets (fuzz/) built with clang in build-fuzz/, each run FUZZ_SECONDS (default 60)
# on a copy of its seed corpus, two at a time; fails on any finding. Not part of `make test`.
fuzz: setup
	./scripts/fuzz.sh

# The short pass CI runs after the tests: every target for 8 s, two at a time (under 30 s).
fuzz-smoke: setup
	FUZZ_SECONDS=8 FUZZ_PARALLEL=2 ./scripts/fuzz.sh

mutants: setup
	./scripts/mutants.sh $(MUTANTS)

format:
	git ls-files '*.cpp' '*.hpp' '*.h' | xargs clang-format -i

# The tree laid out as .clang-format says, checked only (`make format` fixes it).
format-check:
	./scripts/setup.sh clang-format
	./scripts/check-format.sh

# The package's pure modules include no ROS 2, message, NPU or node header; the check's own
# self-test first, so a broken pattern cannot pass everything.
include-check:
	./scripts/check-includes.sh --self-test
	./scripts/check-includes.sh

# clang-tidy with .clang-tidy over the package's sources, the tools (not their tests), the PC's
# NPU runtime and the benchmarks, on the compile_commands.json files of $(BUILD_DIR); fails on
# any finding.
tidy: setup build
	BUILD_DIR=$(BUILD_DIR) JOBS=$(JOBS) ./scripts/check-tidy.sh

clean:
	rm -rf build build-asan build-tsan build-aarch64 build-fuzz
