# Faults that only show on the robot's CPU (AArch64): signed head bytes, fused multiply-adds in
# the exact float orders, Eigen alignment of the worker records. Built and run natively by
# `make test` and under qemu by `make cross-test`. Include after the node library is declared.
veltrax_add_test(test_portability LIBS veltrax_decode veltrax_depth veltrax_cv_node)
