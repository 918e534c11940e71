// Which interpreters may load qulo's extension modules: one stance for
// qulo._tea, qulo._stream and qulo._batch. The last two declare it with the
// slot below; qulo._tea's fixed module record has no such slot, and a
// multi-phase module without one gets the same from the import system.
//
// qulo._tea admits one interpreter per process, the first that imports it:
// its TEA type, the free list of TEA objects and its interned names are
// process-wide, and its create step refuses any other interpreter with an
// ImportError ("Interpreter change detected ..."). qulo._stream and
// qulo._batch keep everything they hold in their module state, but take TEA
// objects as keys: their execute step imports qulo._tea for its type, so in
// any interpreter but that first one they fail with qulo._tea's own
// ImportError. All three therefore stand alike: an interpreter that shares
// the main GIL may try (and qulo._tea decides), one with a GIL of its own is
// refused by the import system before any of them runs.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace qulo {

inline PyModuleDef_Slot interpreter_slot() {
    return {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED};
}

}  // namespace qulo
