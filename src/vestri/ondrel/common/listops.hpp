// Searching and editing exact lists as list's own methods do.
//
//  - list_find_if: one search, from the front or the back, the match a
//    parameter;
//  - list_find: the first element equal to a value, as `in`, `list.index`
//    and `list.remove` find it, comparing exact `str` values in place (the
//    common case for keys) and everything else through `==`, and telling
//    whether a comparison may have run Python code;
//  - list_move: `list.insert(where, list.pop(from))` as one rotation;
//  - as_position: an index argument as `list.insert` converts it.
#pragma once

#include <algorithm>
#include <cstring>

#include "compat.hpp"
#include "ref.hpp"

namespace vo::lists {

enum class Equal { No, Yes, Ask };

// `item == key` for an exact str key, where the answer needs no call: a str
// item is compared by content, as str's own equality does, and a built-in
// number or None is never equal to a str (both sides decline, without
// effects).  Anything else must be asked.  The key's length, kind and text
// are read once: a str never changes.
class StrKey {
public:
    explicit StrKey(PyObject* key) noexcept
        : key_(key),
          length_(PyUnicode_GET_LENGTH(key)),
          kind_(PyUnicode_KIND(key)),
          data_(PyUnicode_DATA(key)),
          bytes_(static_cast<size_t>(length_) * static_cast<size_t>(kind_)) {}

    Equal equals(PyObject* item) const noexcept {
        if (item == key_) return Equal::Yes;
        PyTypeObject* type = Py_TYPE(item);
        if (type == &PyUnicode_Type) {
            if (PyUnicode_GET_LENGTH(item) != length_ || static_cast<int>(PyUnicode_KIND(item)) != kind_)
                return Equal::No;
            return std::memcmp(PyUnicode_DATA(item), data_, bytes_) == 0 ? Equal::Yes : Equal::No;
        }
        if (type == &PyLong_Type || type == &PyFloat_Type || type == &PyBool_Type || item == Py_None) return Equal::No;
        return Equal::Ask;
    }

private:
    PyObject* key_;
    Py_ssize_t length_;
    int kind_;
    const void* data_;
    size_t bytes_;
};

// Whether `==` between two such objects is answered by the interpreter's own
// comparisons, without Python code: exact str, int, float, bool, None.
// (bytes are left out: comparing them with str may warn, and a warning can
// run Python code.)
inline bool plain_scalar(PyObject* o) noexcept {
    PyTypeObject* type = Py_TYPE(o);
    return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type || type == &PyBool_Type ||
           o == Py_None;
}

enum class From { Front, Back };

// The index of the first element (the last, searching from the back) that
// `ask` finds a match; `quick` answers first where it can without a call:
//  - quick(element) -> Equal: the element borrowed, and no Python code may run;
//  - ask(item) -> Found: called only for Equal::Ask, with the item held for
//    the call, and may run anything.
// Re-entrancy: `ask` may change the list (or anything else); the length is
// read again for every step, as the list's own methods do, so positions are
// those of the moment.  From the back, the next position is the one before,
// or the last one if the list has shrunk below it.
template <class Quick, class Ask>
Found list_find_if(PyObject* list, Py_ssize_t& at, From from, Quick quick, Ask ask) noexcept {
    Py_ssize_t i = from == From::Front ? 0 : PyList_GET_SIZE(list) - 1;
    while (from == From::Front ? i < PyList_GET_SIZE(list) : i >= 0) {
        PyObject* element = PyList_GET_ITEM(list, i);
        Equal known = quick(element);
        if (known == Equal::Ask) {
            Ref item = Ref::borrow(element);
            Found found = ask(item.get());
            if (found == Found::Error) return Found::Error;
            known = found == Found::Yes ? Equal::Yes : Equal::No;
        }
        if (known == Equal::Yes) {
            at = i;
            return Found::Yes;
        }
        if (from == From::Front)
            ++i;
        else
            i = std::min(i, PyList_GET_SIZE(list)) - 1;
    }
    return Found::No;
}

// The same with one test, `match(item) -> Found`, asked of every item.
template <class Match>
Found list_find_if(PyObject* list, Py_ssize_t& at, Match match, From from = From::Front) noexcept {
    return list_find_if(list, at, from, [](PyObject*) noexcept { return Equal::Ask; }, match);
}

// The index of the first element equal to `x`, as `x in list`,
// `list.index(x)` and `list.remove(x)` find it (or of the last one, from the
// back, where the caller knows only one can be equal).  `ran_code` is set
// when a comparison may have run Python code; when it stays false, nothing
// has changed since the call began and `at` names the element found.
inline Found list_find(PyObject* list, PyObject* x, Py_ssize_t& at, bool& ran_code, From from = From::Front) noexcept {
    auto equal = [x](PyObject* item) noexcept { return outcome<Found>(PyObject_RichCompareBool(item, x, Py_EQ)); };
    if (PyUnicode_CheckExact(x)) {
        StrKey key(x);
        return list_find_if(
            list, at, from, [&key](PyObject* element) noexcept { return key.equals(element); },
            [&](PyObject* item) noexcept {
                // Not a built-in scalar: its `__eq__` may be anything.
                ran_code = true;
                return equal(item);
            });
    }
    bool plain_key = plain_scalar(x);
    return list_find_if(
        list, at,
        [&](PyObject* item) noexcept {
            if (!plain_key || !plain_scalar(item)) ran_code = true;
            return equal(item);
        },
        from);
}

// `list.insert(where, list.pop(from))` without resizing: the elements in
// between shift by one.  `where` counts in the list without the element, with
// list.insert's clamping.  Runs no Python code.
inline void list_move(PyObject* list, Py_ssize_t from, Py_ssize_t where) noexcept {
    VO_ASSERT(0 <= from && from < PyList_GET_SIZE(list));
    PyObject** items = vo::compat::list_items(list);
    Py_ssize_t rest = PyList_GET_SIZE(list) - 1;
    if (where < 0) {
        where += rest;
        if (where < 0) where = 0;
    }
    if (where > rest) where = rest;
    PyObject* moving = items[from];
    if (where < from)
        std::memmove(items + where + 1, items + where, static_cast<size_t>(from - where) * sizeof(PyObject*));
    else if (where > from)
        std::memmove(items + from, items + from + 1, static_cast<size_t>(where - from) * sizeof(PyObject*));
    items[where] = moving;
}

// `operator.index(position)` as list.insert takes it; its errors are
// list.insert's, raised before anything changes.
inline bool as_position(PyObject* position, Ref& index, Py_ssize_t& where) noexcept {
    index = Ref::steal(PyNumber_Index(position));
    if (!index) return false;
    where = PyLong_AsSsize_t(index.get());
    return !(where == -1 && PyErr_Occurred());
}

}  // namespace vo::lists
