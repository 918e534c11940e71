#include "byte_view.hpp"

#include "format_check.hpp"

#include <cstring>
#include <string_view>

namespace qulo {

namespace {

constexpr int kConstFlags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT;
constexpr int kWritableFlags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE;
static_assert(kConstFlags == 0x3C && kWritableFlags == 0x3D);

// Turns a refused format into its ValueError.
void raise_format_error(const format::Result &r, const format::ItemDescriptor &item) {
    using Kind = format::Result::Kind;
    const auto ch = static_cast<int>(static_cast<unsigned char>(r.character));
    switch (r.kind) {
    case Kind::ok:
        return;
    case Kind::big_endian:
        PyErr_SetString(PyExc_ValueError,
                        "Big-endian buffer not supported on little-endian compiler");
        return;
    case Kind::unknown_character:
        PyErr_Format(PyExc_ValueError,
                     "Does not understand character buffer dtype format string ('%c')", ch);
        return;
    case Kind::unexpected_after_z:
        PyErr_Format(PyExc_ValueError, "Unexpected format string character: '%c'", ch);
        return;
    case Kind::expected_brace:
        PyErr_SetString(PyExc_ValueError, "Buffer acquisition: Expected '{' after 'T'");
        return;
    case Kind::dtype_mismatch: {
        const std::string_view expected = r.expected_is_name ? item.name : "end";
        const char *quote = r.expected_is_name ? "'" : "";
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%.*s%s but got %.*s",
                     quote, static_cast<int>(expected.size()), expected.data(), quote,
                     static_cast<int>(r.got.size()), r.got.data());
        return;
    }
    case Kind::field_offset:
        PyErr_Format(PyExc_ValueError,
                     "Buffer dtype mismatch; next field is at offset %zd but %zd expected",
                     static_cast<Py_ssize_t>(r.offset), Py_ssize_t{0});
        return;
    case Kind::repeated_array:
        PyErr_SetString(PyExc_ValueError, "Cannot handle repeated arrays in format string");
        return;
    case Kind::array_dimensions:
        PyErr_Format(PyExc_ValueError, "Expected %d dimension(s), got %d", 0,
                     static_cast<int>(r.extents));
        return;
    case Kind::expected_comma:
        PyErr_Format(PyExc_ValueError, "Expected a comma in format string, got '%c'", ch);
        return;
    case Kind::unterminated_array:
        PyErr_SetString(PyExc_ValueError, "Unexpected end of format string, expected ')'");
        return;
    case Kind::malformed:
        PyErr_Format(PyExc_ValueError, "%.*s", static_cast<int>(r.detail.size()),
                     r.detail.data());
        return;
    }
}

// Dimension, format, item size and layout of an acquired buffer; false with
// the ValueError set when one of them is refused. Without `item`, any item
// type and size is taken and the layout is checked in bytes.
bool check_buffer(const Py_buffer &b, const format::ItemDescriptor *item) {
    if (b.ndim != 1) {
        PyErr_Format(PyExc_ValueError,
                     "Buffer has wrong number of dimensions (expected %d, got %d)", 1, b.ndim);
        return false;
    }
    if (item != nullptr) {
        // The buffer protocol reads a missing format as unsigned bytes, and a
        // single 'B', 'c' or '?' is what nearly every exporter gives.
        const char *fmt = b.format;
        const bool plain = fmt == nullptr || ((fmt[0] == 'B' || fmt[0] == 'c' || fmt[0] == '?') &&
                                              fmt[1] == '\0');
        if (!plain) {
            const format::Result r = format::check(fmt, *item);
            if (!r.ok()) {
                raise_format_error(r, *item);
                return false;
            }
        }
        if (b.itemsize != static_cast<Py_ssize_t>(item->size)) {
            const auto size = static_cast<size_t>(b.itemsize);
            PyErr_Format(PyExc_ValueError,
                         "Item size of buffer (%zu byte%s) does not match size of '%.*s' (%zu byte%s)",
                         size, size > 1 ? "s" : "", static_cast<int>(item->name.size()),
                         item->name.data(), item->size, item->size > 1 ? "s" : "");
            return false;
        }
    } else if (b.itemsize < 1) {
        PyErr_Format(PyExc_ValueError, "Item size of buffer (%zd bytes) is not positive",
                     b.itemsize);
        return false;
    }
    // The view's length is len bytes. An exporter whose shape claims another
    // number of items, or a negative len, would send the cipher past the end
    // of its memory.
    if (b.len < 0) {
        PyErr_Format(PyExc_ValueError, "Buffer length is negative (len is %zd)", b.len);
        return false;
    }
    const Py_ssize_t extent = b.len / b.itemsize;
    if (b.shape != nullptr && (b.shape[0] != extent || b.len % b.itemsize != 0)) {
        PyErr_Format(PyExc_ValueError,
                     "Buffer shape and length disagree (shape[0] is %zd, len is %zd)",
                     b.shape[0], b.len);
        return false;
    }
    if (b.len > 0) {
        if (extent > 1 && b.strides != nullptr && b.strides[0] != b.itemsize) {
            PyErr_SetString(PyExc_ValueError,
                            "Buffer and memoryview are not contiguous in the same dimension.");
            return false;
        }
        if (extent > 1 && b.suboffsets != nullptr && b.strides == nullptr) {
            PyErr_SetString(PyExc_ValueError, "Buffer exposes suboffsets but no strides");
            return false;
        }
        if (b.suboffsets != nullptr && b.suboffsets[0] >= 0) {
            PyErr_Format(PyExc_ValueError, "Buffer not compatible with direct access in dimension %d.",
                         0);
            return false;
        }
    }
    return true;
}

}  // namespace

template <class Byte>
bool AcquiredView<Byte>::request(PyObject *obj, bool bytes) {
    view_ = {nullptr, nullptr, 0, 0, 0};  // a refused view has no holder
    if (PyObject_GetBuffer(obj, &buffer_, kWritable ? kWritableFlags : kConstFlags) < 0) {
        return false;
    }
    acquired_ = true;
    // An exact bytearray, the usual `out`, always exports one contiguous
    // dimension of unsigned bytes: the checks cannot refuse it. (Exact
    // bytes never get here, and refuse the writable request.)
    const bool plain_bytearray = Py_IS_TYPE(obj, &PyByteArray_Type);
    const format::ItemDescriptor *item =
        !bytes ? nullptr : kWritable ? &format::kByte : &format::kConstByte;
    if (!plain_bytearray && !check_buffer(buffer_, item)) {
        release();
        return false;
    }
    view_.holder = buffer_.obj;
    view_.data = static_cast<Byte *>(buffer_.buf);
    view_.length = buffer_.len;  // the extent in bytes, which the checks found in the shape
    view_.stride = 1;      // the checks found the bytes contiguous
    view_.suboffset = -1;  // and directly addressed
    return true;
}

template class AcquiredView<const uint8_t>;
template class AcquiredView<uint8_t>;

}  // namespace qulo
