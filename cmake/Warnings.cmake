# Our own code builds with warnings as errors; third-party code is never built with these.
add_library(velk_warnings INTERFACE)
target_compile_options(velk_warnings INTERFACE -Wall -Wextra -Wpedantic -Werror)
