# Host build of the workspace (ROS 2 stand-ins under host/). The robot build uses colcon instead:
# see README.md.
JOBS ?= $(shell nproc)
BUILD_TYPE ?= RelWithDebInfo
CTEST_ARGS ?= --output-on-failure -j$(JOBS)

.PHONY: setup build test run demo demo-onnx soak sanitize tsan format clean cross-test fuzz

setup:
	./scripts/setup.sh

build:
	cmake -S cmake/workspace -B build -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)
	cmake --build build -j$(JOBS)

test: setup build
	cd build && ctest $(CTEST_ARGS)

# The node alone, with the package's parameters and the host NPU runtime's colour-key model (the
# demo's model as well); Ctrl-C stops it.
HOST_MODEL ?= host/rknn/models/colour_key_640.yaml
run: setup build
	./build/bin/yolov5s_predictor --ros-args --params-file veltrax_cv_model/config/params.yaml \
	  -p rknn_model_path:=$(HOST_MODEL)

# The node end to end on the generated demo scene (30 frames at 10 Hz); pictures and figures in
# out/ (tools/README.md).
demo: setup build
	./build/bin/run_demo --out out --frames 30 --model $(HOST_MODEL)

# The same demo with the host runtime's onnx backend: the key detector network written at build
# time (build/models/, host/rknn/README.md) instead of the colour-key model. The closing note
# compares its detections with the colour-key model's on every frame and times the YOLOv5s-layout
# network on a batch of two 640 x 640 images. Results in out-onnx/, laid out as out/, so the two
# runs stay side by side.
ONNX_MODEL ?= build/models/key_detector_640.yaml
demo-onnx: setup build
	./build/bin/run_demo --out out-onnx --frames 30 --model $(ONNX_MODEL) --compare-model $(HOST_MODEL)
	./build/bin/bench_onnx_backend --benchmark_min_time=1

# The node for SOAK_CYCLES frame cycles back to back on the demo scene: resident memory and cycle
# time per cycle, a picture and a growth verdict in out/soak (tools/README.md); fails when memory
# grows after the warm-up.
SOAK_CYCLES ?= 10000
soak: setup build
	./build/bin/soak --cycles $(SOAK_CYCLES) --out out/soak

# AddressSanitizer + UndefinedBehaviorSanitizer over the whole suite.
sanitize: setup
	cmake -S cmake/workspace -B build-asan -DCMAKE_BUILD_TYPE=Debug -DVELTRAX_SANITIZE=address,undefined
	cmake --build build-asan -j$(JOBS)
	cd build-asan && ctest $(CTEST_ARGS)

# ThreadSanitizer over the whole suite. Test discovery runs the programs at build time, so the
# suppressions apply to the build as well.
TSAN_ENV = TSAN_OPTIONS="halt_on_error=1 suppressions=$(CURDIR)/cmake/sanitizers/tsan.supp"
tsan: setup
	cmake -S cmake/workspace -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DVELTRAX_SANITIZE=thread
	$(TSAN_ENV) cmake --build build-tsan -j$(JOBS)
	cd build-tsan && $(TSAN_ENV) ctest $(CTEST_ARGS)

# Cross-build for the robot's CPU (AArch64) in build-aarch64/ and every test under qemu-aarch64;
# the arm64 sysroot is built once and cached (ARM64_SYSROOT, default /var/tmp/veltrax-arm64-sysroot).
cross-test: setup
	JOBS=$(JOBS) BUILD_TYPE=$(BUILD_TYPE) ./scripts/cross-test.sh

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

clean:
	rm -rf build build-asan build-tsan build-aarch64
