# Faults that only show on the robot's CPU (AArch64): signed head bytes and fused multiply-adds in
# the exact float orders. Built and run natively by `make test` and under qemu by
# `make cross-test`.
veltrax_add_test(test_portability LIBS veltrax_decode veltrax_depth)
