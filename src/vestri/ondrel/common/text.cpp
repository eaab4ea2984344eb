#include "text.hpp"

namespace vo {

namespace {

constexpr Py_ssize_t kInitialCapacity = 256;

// The largest character the narrowest form holding `c` can store.
constexpr Py_UCS4 form_of(Py_UCS4 c) noexcept {
    return c < 0x80 ? 0x7F : c < 0x100 ? 0xFF : c < 0x10000 ? 0xFFFF : 0x10FFFF;
}

template <class From, class To>
void convert(const void* src, void* dst, Py_ssize_t n) noexcept {
    const From* s = static_cast<const From*>(src);
    To* d = static_cast<To*>(dst);
    for (Py_ssize_t i = 0; i < n; ++i) d[i] = static_cast<To>(s[i]);
}

// Copies n characters between any two forms; narrowing only ever happens for
// characters known to fit.
void copy_characters(void* dst, int dst_kind, const void* src, int src_kind, Py_ssize_t n) noexcept {
    if (dst_kind == src_kind) {
        std::memcpy(dst, src, static_cast<size_t>(n) * static_cast<size_t>(dst_kind));
        return;
    }
    // A kind is 1, 2 or 4 bytes a character: kind / 2 is 0, 1 or 2.
    using Convert = void (*)(const void*, void*, Py_ssize_t) noexcept;
    static constexpr Convert kConvert[3][3] = {
        {convert<Py_UCS1, Py_UCS1>, convert<Py_UCS1, Py_UCS2>, convert<Py_UCS1, Py_UCS4>},
        {convert<Py_UCS2, Py_UCS1>, convert<Py_UCS2, Py_UCS2>, convert<Py_UCS2, Py_UCS4>},
        {convert<Py_UCS4, Py_UCS1>, convert<Py_UCS4, Py_UCS2>, convert<Py_UCS4, Py_UCS4>}};
    kConvert[src_kind / 2][dst_kind / 2](src, dst, n);
}

// The form text[start:end] needs, knowing it needs no more than `ceiling`.
Py_UCS4 form_of_slice(PyObject* text, Py_ssize_t start, Py_ssize_t end, Py_UCS4 ceiling) noexcept {
    int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Py_UCS4 widest = 0;
    for (Py_ssize_t i = start; i < end; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c > widest) {
            widest = c;
            if (form_of(widest) == ceiling) break;
        }
    }
    return form_of(widest);
}

}  // namespace

bool TextBuilder::append_slow(PyObject* text, Py_ssize_t start, Py_ssize_t end) noexcept {
    Py_ssize_t n = end - start;
    if (n <= 0) return true;
    Py_UCS4 needed = PyUnicode_MAX_CHAR_VALUE(text);
    if (VO_UNLIKELY(needed > maxchar_) && (start != 0 || end != PyUnicode_GET_LENGTH(text)))
        needed = form_of_slice(text, start, end, needed);
    if (VO_UNLIKELY(needed > maxchar_ || n > capacity_ - length_) && !grow(n, needed)) return false;
    int src_kind = PyUnicode_KIND(text);
    copy_characters(static_cast<char*>(data_) + length_ * kind_, kind_,
                    static_cast<const char*>(PyUnicode_DATA(text)) + start * src_kind, src_kind, n);
    length_ += n;
    return true;
}

void TextBuilder::widen_ascii(const char* text, Py_ssize_t n) noexcept {
    copy_characters(static_cast<char*>(data_) + length_ * kind_, kind_, text, PyUnicode_1BYTE_KIND, n);
}

bool TextBuilder::grow(Py_ssize_t extra, Py_UCS4 maxchar) noexcept {
    if (extra > PY_SSIZE_T_MAX - length_) {
        PyErr_NoMemory();
        return false;
    }
    Py_ssize_t wanted = length_ + extra;
    Py_ssize_t capacity = capacity_;
    if (wanted > capacity) {
        // Half as much again: the copies made by growing stay within a
        // constant factor of the final size.
        capacity = wanted <= PY_SSIZE_T_MAX / 3 * 2 ? wanted + wanted / 2 : wanted;
        if (capacity < kInitialCapacity) capacity = kInitialCapacity;
    }
    if (!buffer_ || maxchar > maxchar_) {
        Py_UCS4 form = maxchar > maxchar_ ? maxchar : maxchar_;
        Ref wider = Ref::steal(PyUnicode_New(capacity, form));
        if (!wider) return false;
        void* data = PyUnicode_DATA(wider.get());
        int kind = PyUnicode_KIND(wider.get());
        if (length_) copy_characters(data, kind, data_, kind_, length_);
        buffer_ = std::move(wider);
        data_ = data;
        kind_ = kind;
        maxchar_ = form;
        capacity_ = capacity;
        return true;
    }
    // The buffer is ours alone and never hashed, so it can be resized in place.
    PyObject* buffer = buffer_.release();
    if (PyUnicode_Resize(&buffer, capacity) < 0) {
        buffer_ = Ref::steal(buffer);  // left as it was
        return false;
    }
    buffer_ = Ref::steal(buffer);
    data_ = PyUnicode_DATA(buffer);
    capacity_ = capacity;
    return true;
}

Ref TextBuilder::finish() noexcept {
    Ref result;
    if (!buffer_) {
        result = Ref::steal(PyUnicode_New(0, 0));
    } else {
        PyObject* buffer = buffer_.release();
        if (length_ != capacity_ && PyUnicode_Resize(&buffer, length_) < 0) {
            Py_DECREF(buffer);
            buffer = nullptr;
        }
        result = Ref::steal(buffer);
    }
    data_ = nullptr;
    kind_ = PyUnicode_1BYTE_KIND;
    maxchar_ = 127;
    length_ = capacity_ = 0;
    return result;
}

}  // namespace vo
