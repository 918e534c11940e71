// The one wipe of key material, for C callers and the binding's copies
// (qulo/wipe.hpp holds it; Secret<T> calls it inline).

#include "qulo/mode.h"
#include "qulo/wipe.hpp"

extern "C" void qulo_wipe(void *p, size_t size) { qulo::wipe(p, size); }
