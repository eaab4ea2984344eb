// Whether looking a str up in a dict can run Python code.
//
// Generic (nothing here knows about Sequara); it reads the interpreter's
// private dict layout, so it belongs in common/compat.hpp.  A dict whose keys
// are all exact str is kept with a key table of its own kind ("unicode" or
// "split", against "general" for any other keys).  In such a table a lookup
// of an exact str compares strings in place; in a general one it compares
// through `==`, which runs the `__eq__` of a stored key of a user class whose
// hash equals the one looked up.  Knowing that no code can run lets a caller
// keep what it read before the lookup instead of reading it again.
#pragma once

#include <cstdint>

#include "common/ref.hpp"

namespace vo::dicts {

// The leading fields of the interpreter's dict key table (`struct
// _dictkeysobject`), the same in 3.11, 3.12 and 3.13.
struct KeyTableHead {
    Py_ssize_t refcnt;
    std::uint8_t log2_size;
    std::uint8_t log2_index_bytes;
    std::uint8_t kind;  // 0 general, 1 unicode, 2 split
};

// True only when looking the exact str `key` up in the exact dict `dict`
// runs no Python code.  False when unsure (another interpreter version).
inline bool str_lookup_runs_no_code(PyObject* dict, PyObject* key) noexcept {
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
    if (!PyUnicode_CheckExact(key)) return false;
    auto* table = reinterpret_cast<const KeyTableHead*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys);
    return table->kind != 0;
#else
    (void)dict;
    (void)key;
    return false;
#endif
}

}  // namespace vo::dicts
