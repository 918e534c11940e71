// Secret<T>: what it holds is cleared when it goes.
#include "qulo/secret.hpp"
#include "qulo/tea.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

namespace {

// Storage that outlives the secret placed in it, so that what is left there
// can be read afterwards.
template <class T>
struct Storage {
    alignas(T) unsigned char bytes[sizeof(T)];

    // Read as memory, whatever the compiler assumes of an object that is gone.
    bool cleared() const {
        const volatile unsigned char *p = bytes;
        for (size_t i = 0; i < sizeof bytes; ++i) {
            if (p[i] != 0) {
                return false;
            }
        }
        return true;
    }
};

TEST(Secret, ClearsItsValueWhenItGoes) {
    auto storage = std::make_unique<Storage<qulo::Secret<qulo_key>>>();
    auto *key = new (storage->bytes) qulo::Secret<qulo_key>(qulo_key{1, 2, 3, 4});
    EXPECT_EQ((*key)->k2, 3u);
    EXPECT_FALSE(storage->cleared());
    key->~Secret();
    EXPECT_TRUE(storage->cleared());
}

}  // namespace
