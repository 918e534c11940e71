// Traceback entries named after the module's functions, so that a failure
// inside the extension shows where it happened ("qulo._tea.TEA.encrypt_qq").
#pragma once

#include <source_location>

namespace qulo {

// Adds one entry for `qualified_name` (already prefixed with the module's
// full name) to the traceback of the pending exception. Never fails: if the
// entry cannot be built, the pending exception is left as it was; with no
// exception pending it adds nothing.
void add_traceback(const char *qualified_name,
                   std::source_location where = std::source_location::current());

}  // namespace qulo
