// The Arrow C data interface: the three structs by which Arrow libraries
// hand each other columns without linking to one another, written out from
// their published, stable ABI, and owners that call a struct's release
// callback exactly once. No Python here.
#pragma once

#include <cstdint>
#include <cstring>
#include <utility>

extern "C" {

// Flag bits of ArrowSchema::flags.
inline constexpr int64_t ARROW_FLAG_DICTIONARY_ORDERED = 1;
inline constexpr int64_t ARROW_FLAG_NULLABLE = 2;
inline constexpr int64_t ARROW_FLAG_MAP_KEYS_SORTED = 4;

// The type of a column; `format` is a short string ("z" binary, "Z"
// large_binary, "vz" binary_view).
struct ArrowSchema {
    const char *format;
    const char *name;
    const char *metadata;
    int64_t flags;
    int64_t n_children;
    ArrowSchema **children;
    ArrowSchema *dictionary;
    void (*release)(ArrowSchema *);  // null once released
    void *private_data;
};

// The memory of one chunk of a column: `buffers` as the type lays them out,
// the slice [offset, offset + length) of their elements.
struct ArrowArray {
    int64_t length;
    int64_t null_count;  // -1: not computed
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void **buffers;
    ArrowArray **children;
    ArrowArray *dictionary;
    void (*release)(ArrowArray *);
    void *private_data;
};

// A column as a sequence of chunks of one schema. The callbacks return 0 or
// an errno value; get_next gives a released array at the end.
struct ArrowArrayStream {
    int (*get_schema)(ArrowArrayStream *, ArrowSchema *out);
    int (*get_next)(ArrowArrayStream *, ArrowArray *out);
    const char *(*get_last_error)(ArrowArrayStream *);
    void (*release)(ArrowArrayStream *);
    void *private_data;
};

}  // extern "C"

namespace qulo::arrow {

// Owns one struct moved out of its producer's storage: the struct is
// copied bit for bit and the source marked released (release = null), as
// the ABI allows, and the copy is released when the owner goes.
template <class Struct>
class Owned {
public:
    Owned() noexcept { std::memset(&s_, 0, sizeof s_); }
    Owned(const Owned &) = delete;
    Owned &operator=(const Owned &) = delete;
    Owned(Owned &&other) noexcept : Owned() { take(&other.s_); }
    Owned &operator=(Owned &&other) noexcept {
        if (this != &other) {
            reset();
            take(&other.s_);
        }
        return *this;
    }
    ~Owned() { reset(); }

    // Moves `source` in (a released source leaves this empty).
    void take(Struct *source) noexcept {
        reset();
        std::memcpy(&s_, source, sizeof s_);
        source->release = nullptr;
    }
    void reset() noexcept {
        if (s_.release != nullptr) {
            s_.release(&s_);  // the callback marks the struct released itself
            s_.release = nullptr;
        }
    }
    // Storage for a producer callback to fill (get_schema, get_next).
    Struct *fill() noexcept {
        reset();
        return &s_;
    }
    bool empty() const noexcept { return s_.release == nullptr; }
    Struct &operator*() noexcept { return s_; }
    const Struct &operator*() const noexcept { return s_; }
    Struct *operator->() noexcept { return &s_; }
    const Struct *operator->() const noexcept { return &s_; }

private:
    Struct s_;
};

using OwnedSchema = Owned<ArrowSchema>;
using OwnedArrowArray = Owned<ArrowArray>;
using OwnedStream = Owned<ArrowArrayStream>;

}  // namespace qulo::arrow
