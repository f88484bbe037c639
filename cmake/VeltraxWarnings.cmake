# Strict warnings for our own targets; third-party headers come in as SYSTEM includes.
function(veltrax_strict_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Werror)
endfunction()
