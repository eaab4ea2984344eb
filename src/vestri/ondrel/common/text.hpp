// Building a large str piece by piece.
//
// Joining pieces repeatedly copies the text made so far at every join;
// `TextBuilder` writes every piece once, straight into the str object it will
// hand back, so the cost is linear in the size of the result.  The object is
// one nobody else has seen yet: it grows by `PyUnicode_Resize` (with room to
// spare) and is trimmed to its length at the end.
//
// A str must be stored in the narrowest of its four forms (ASCII, Latin-1,
// UCS-2, UCS-4) that holds its characters, or it compares unequal to the same
// text stored narrower.  The builder starts as ASCII and widens, copying what
// it holds once per step (at most three times), when a piece needs a wider
// form.  A whole str is already in its narrowest form; a slice of one may be
// narrower than the str it comes from, so only a slice wider than the builder
// is scanned for its largest character.
//
// `find_char` is the search that goes with it, for splitting text into lines.
//
// Public C API only: PyUnicode_New, PyUnicode_Resize and the data macros.
#pragma once

#include "ref.hpp"

#include <cstring>

namespace vo {

class TextBuilder {
public:
    TextBuilder() noexcept = default;
    TextBuilder(const TextBuilder&) = delete;
    TextBuilder& operator=(const TextBuilder&) = delete;

    // `text` must be a str (or a subclass; its characters are copied).
    bool append(PyObject* text) noexcept { return append(text, 0, PyUnicode_GET_LENGTH(text)); }
    // The characters text[start:end]; 0 <= start <= end <= len(text).
    bool append(PyObject* text, Py_ssize_t start, Py_ssize_t end) noexcept {
        VO_ASSERT(PyUnicode_Check(text) && 0 <= start && end <= PyUnicode_GET_LENGTH(text));
        Py_ssize_t n = end - start;
        if (VO_UNLIKELY(n <= 0)) return true;  // before any growth there is no buffer
        // The usual piece: as narrow as the buffer and room for it.
        if (VO_LIKELY(PyUnicode_KIND(text) == kind_ && PyUnicode_MAX_CHAR_VALUE(text) <= maxchar_ &&
                      n <= capacity_ - length_)) {
            std::memcpy(static_cast<char*>(data_) + length_ * kind_,
                        static_cast<const char*>(PyUnicode_DATA(text)) + start * kind_,
                        static_cast<size_t>(n) * static_cast<size_t>(kind_));
            length_ += n;
            return true;
        }
        return append_slow(text, start, end);
    }
    // `n` characters of ASCII text (bytes below 128).
    bool append_ascii(const char* text, Py_ssize_t n) noexcept {
        if (VO_UNLIKELY(n <= 0)) return true;  // before any growth there is no buffer
        if (VO_UNLIKELY(n > capacity_ - length_) && !grow(n, 127)) return false;
        if (kind_ == PyUnicode_1BYTE_KIND)
            std::memcpy(static_cast<char*>(data_) + length_, text, static_cast<size_t>(n));
        else
            widen_ascii(text, n);
        length_ += n;
        return true;
    }

    Py_ssize_t length() const noexcept { return length_; }

    // The text built so far, as an exact str; the builder is empty afterwards.
    Ref finish() noexcept;

private:
    // Room for `extra` more characters up to `maxchar`; false with MemoryError.
    bool grow(Py_ssize_t extra, Py_UCS4 maxchar) noexcept;
    bool append_slow(PyObject* text, Py_ssize_t start, Py_ssize_t end) noexcept;
    void widen_ascii(const char* text, Py_ssize_t n) noexcept;

    Ref buffer_;  // an unshared str of capacity_ characters, or empty
    void* data_ = nullptr;
    int kind_ = PyUnicode_1BYTE_KIND;
    Py_UCS4 maxchar_ = 127;  // the form of buffer_: 127, 255, 0xFFFF or 0x10FFFF
    Py_ssize_t length_ = 0;
    Py_ssize_t capacity_ = 0;
};

// The position of the first `ch` in text[start:end], or -1.  Short texts
// are the common case, and for them the interpreter's general search
// (PyUnicode_FindChar) costs more than looking.
inline Py_ssize_t find_char(PyObject* text, Py_UCS4 ch, Py_ssize_t start, Py_ssize_t end) noexcept {
    const void* data = PyUnicode_DATA(text);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND: {
            if (ch > 0xFF || start >= end) return -1;
            const auto* chars = static_cast<const Py_UCS1*>(data);
            const void* found = std::memchr(chars + start, static_cast<int>(ch), static_cast<size_t>(end - start));
            return found ? static_cast<const Py_UCS1*>(found) - chars : -1;
        }
        case PyUnicode_2BYTE_KIND: {
            if (ch > 0xFFFF) return -1;
            const auto* chars = static_cast<const Py_UCS2*>(data);
            for (Py_ssize_t i = start; i < end; ++i)
                if (chars[i] == ch) return i;
            return -1;
        }
        default: {
            const auto* chars = static_cast<const Py_UCS4*>(data);
            for (Py_ssize_t i = start; i < end; ++i)
                if (chars[i] == ch) return i;
            return -1;
        }
    }
}

}  // namespace vo
