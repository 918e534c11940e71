#include "tea_key.hpp"

#include "../tea_object.hpp"

namespace qulo {

qulo_key tea_key(PyObject *tea) { return copy_key(tea); }

}  // namespace qulo
