# Strict warnings for our own targets; third-party headers come in as SYSTEM includes.
# Warnings are errors where we build and test (the host workspace and CI switch VELTRAX_WERROR
# on). A colcon build on the robot reports them without stopping, because a newer compiler or
# library header there may warn where ours did not; pass -DVELTRAX_WERROR=ON to make them errors.
option(VELTRAX_WERROR "Treat warnings in our own code as errors" OFF)
function(veltrax_strict_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor
                                           $<$<BOOL:${VELTRAX_WERROR}>:-Werror>)
endfunction()
