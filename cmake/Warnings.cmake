# Our own code builds with these warnings; third-party code is never built with them.
# VELK_WERROR makes them errors: on in scripts/ and CI, off for everyone else, so that a newer or
# older compiler than ours cannot stop a consumer's build.
option(VELK_WERROR "Treat warnings in velk's own code as errors" OFF)
add_library(velk_warnings INTERFACE)
target_compile_options(velk_warnings INTERFACE -Wall -Wextra -Wpedantic $<$<BOOL:${VELK_WERROR}>:-Werror>)
