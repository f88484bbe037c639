# YOLO head decoding and non-maximum suppression.
add_library(veltrax_decode STATIC src/core/yolo_decode.cpp)
target_link_libraries(veltrax_decode PUBLIC veltrax_cv_core)
veltrax_strict_warnings(veltrax_decode)
# The decoder's and back-projection's float expressions are evaluated in their written order:
# no fused multiply-add (GCC's default on AArch64), so the robot computes the PC's bits.
target_compile_options(veltrax_decode PRIVATE -ffp-contract=off)
veltrax_add_test(test_yolo_decode LIBS veltrax_decode)
