# VELTRAX_SANITIZE: sanitizers for every target of the project including it, the same in the
# package and in the PC workspace built on it (`make sanitize`, `make tsan`).
set(VELTRAX_SANITIZE "" CACHE STRING "Sanitizers for every target: empty, 'address,undefined' or 'thread'")
if(VELTRAX_SANITIZE)
  # The instrumented standard library (std::regex, for one) trips GCC's flow-based
  # maybe-uninitialized warning; it stays a warning there.
  add_compile_options(-fsanitize=${VELTRAX_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all
                      -Wno-error=maybe-uninitialized)
  add_link_options(-fsanitize=${VELTRAX_SANITIZE})
  if(VELTRAX_SANITIZE MATCHES "address")
    # Under ASan, Eigen would pick its own aligned allocator while the prebuilt PCL libraries use
    # plain malloc for the same objects; the mismatch shows up as false heap overflows.
    add_compile_definitions(EIGEN_MALLOC_ALREADY_ALIGNED=1)
  endif()
endif()
# 1 under ThreadSanitizer, for tests that skip what it makes too slow. Compared here, not in a
# generator expression, which would split 'address,undefined' at its comma.
set(VELTRAX_UNDER_TSAN 0)
if(VELTRAX_SANITIZE STREQUAL "thread")
  set(VELTRAX_UNDER_TSAN 1)
endif()
