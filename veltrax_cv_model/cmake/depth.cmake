# Back-projection of depth images, detection-cloud crop/transform and ground removal.
add_library(veltrax_depth STATIC src/core/back_projection.cpp src/core/ground_removal.cpp
  src/core/detection_cloud.cpp src/core/fused_region_cloud.cpp src/core/depth_filters.cpp)
target_link_libraries(veltrax_depth PUBLIC veltrax_cv_core)
veltrax_strict_warnings(veltrax_depth)
# The decoder's and back-projection's float expressions are evaluated in their written order:
# no fused multiply-add (GCC's default on AArch64), so the robot computes the PC's bits.
target_compile_options(veltrax_depth PRIVATE -ffp-contract=off)

# The tests and the benchmark read the recorded PNG frames.
find_package(OpenCV REQUIRED COMPONENTS imgcodecs)
veltrax_add_test(test_back_projection LIBS veltrax_depth opencv_imgcodecs)
veltrax_add_test(test_ground_removal LIBS veltrax_depth opencv_imgcodecs)
veltrax_add_test(test_depth_filters LIBS veltrax_depth)
# The flying-pixel loop is written branch-free for the vectoriser, which GCC's -O2 cost model
# leaves scalar: half the time at -O3.
set_source_files_properties(src/core/depth_filters.cpp PROPERTIES COMPILE_OPTIONS "-O3")
