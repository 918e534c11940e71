# The flags every target of qulo is built with, as one INTERFACE target that
# each target links: the warnings everywhere, and for what ships (the core
# and the modules) C-compatible C++ with hidden symbols.
include_guard(GLOBAL)

add_library(qulo_flags INTERFACE)
target_compile_options(qulo_flags INTERFACE
  -Wall -Wextra -Wpedantic -Wconversion -Wshadow
  -fvisibility=hidden
  # No exceptions and no run-time type information, so that nothing of the
  # C++ runtime library is linked into the modules. Executables (tests,
  # benchmarks, fuzz targets) keep both: GoogleTest is built with them.
  $<$<NOT:$<STREQUAL:$<TARGET_PROPERTY:TYPE>,EXECUTABLE>>:-fno-exceptions;-fno-rtti>)
# The static core is linked into shared modules.
set_target_properties(qulo_flags PROPERTIES INTERFACE_POSITION_INDEPENDENT_CODE ON)
