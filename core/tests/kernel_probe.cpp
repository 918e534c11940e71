// Says what the batch kernel choice comes to in this process's environment,
// for batch_test, which runs it under values of QULO_BATCH_KERNEL: the
// kernel in use, then what qulo_batch_kernel_error returns and writes into a
// buffer of argv[1] bytes, one per line ("(untouched)" when it wrote
// nothing).
#include "qulo/batch.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int main(int argc, char **argv) {
    const size_t size = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
    const char *kernel = qulo_batch_kernel();
    std::vector<char> buf(size + 16, '#');  // a zero-sized buffer is still checked
    const size_t length = qulo_batch_kernel_error(size > 0 ? buf.data() : nullptr, size);
    const bool untouched = buf[0] == '#';
    if (std::memchr(buf.data(), '\0', size + 16) == nullptr && !untouched) {
        return 2;  // not terminated
    }
    // The choice is made once: a later change of the variable changes
    // neither the kernel nor the sentence, which names what was refused.
    setenv("QULO_BATCH_KERNEL", "scalar", 1);
    std::vector<char> again(size + 16, '#');
    if (qulo_batch_kernel() != kernel ||
        qulo_batch_kernel_error(size > 0 ? again.data() : nullptr, size) != length ||
        std::memcmp(again.data(), buf.data(), size) != 0) {
        return 3;
    }
    std::printf("%s\n%zu\n%s", kernel != nullptr ? kernel : "(none)", length,
                untouched ? "(untouched)" : buf.data());
    return 0;
}
