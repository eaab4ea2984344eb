// The reader of logic strings: `Or('^ab', And("c", Not(r'\d')))`.
//
// A logic string is read the way the interpreter reads an expression, but
// only one shape is accepted: a call whose function is a plain name that the
// module namespace binds to a logic class, with positional arguments that are
// string literals or further such calls.  Nothing in the text is ever
// evaluated; the classes are called with the decoded literals once the whole
// text has been read and every name checked, so a refused text runs nothing.
//
// What the interpreter's grammar allows around that shape is allowed here
// too: grouping parentheses, a trailing comma, white space, comments and line
// breaks inside brackets, backslash continuations, leading comment lines.  A
// literal decodes exactly as the interpreter decodes it: every quote style,
// raw and u prefixes, implicit concatenation, all escapes, line breaks
// normalised to "\n"; an unknown escape such as `\d` keeps its backslash, as
// the interpreter keeps it, but without the interpreter's SyntaxWarning.
// Bytes and f-strings are refused.  Names are normalised (NFKC) as the
// interpreter normalises identifiers.  Two things the interpreter would
// refuse are read: lone surrogates, which a command-line argument decoded
// with surrogateescape holds, and characters the tokenizer rejects only
// around the text, which the caller strips as white space.
//
// The text is first parsed into a tree (a str per literal group, the class
// and its arguments per call), then built bottom-up.  The tree is C++
// storage: the constructors run while it is built, and nothing they run can
// reach it.  Both steps recurse once per nesting level under a
// RecursionGuard.
#include "logic.hpp"

#include "common/compat.hpp"
#include "common/guard.hpp"
#include "common/vector.hpp"

#include <cstring>
#include <vector>

namespace logic {
namespace {

using vo::Ref;

// Hard keywords: never names, whatever the namespace holds.
constexpr const char* kKeywords[] = {"False",  "None",   "True",    "and",      "as",       "assert", "async",
                                     "await",  "break",  "class",   "continue", "def",      "del",    "elif",
                                     "else",   "except", "finally", "for",      "from",     "global", "if",
                                     "import", "in",     "is",      "lambda",   "nonlocal", "not",    "or",
                                     "pass",   "raise",  "return",  "try",      "while",    "with",   "yield"};

bool is_keyword(const char* name) noexcept {
    for (const char* keyword : kKeywords)
        if (std::strcmp(keyword, name) == 0) return true;
    return false;
}

bool is_ascii_ident_start(Py_UCS4 c) noexcept { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z' ? true : c == '_'; }
bool is_ident_char(Py_UCS4 c) noexcept { return is_ascii_ident_start(c) || (c >= '0' && c <= '9') || c >= 0x80; }
bool is_quote(Py_UCS4 c) noexcept { return c == '\'' || c == '"'; }
int hex_value(Py_UCS4 c) noexcept {
    if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') return static_cast<int>((c | 0x20) - 'a' + 10);
    return -1;
}

enum class Prefix { None, Raw, Refused, NotAPrefix };

// What the text spells: a literal group (`value` the decoded str) or a call
// (`value` the class, with its arguments); a bare name is a Node that is no
// call and holds the class.
struct Node {
    Ref value;
    std::vector<Node> arguments;
    bool call = false;
};

// What an identifier directly followed by a quote means.
Prefix classify_prefix(const char* word) noexcept {
    size_t n = std::strlen(word);
    if (n == 0 || n > 2) return Prefix::NotAPrefix;
    bool r = false, u = false, b = false, f = false;
    for (size_t i = 0; i < n; ++i) {
        switch (word[i] | 0x20) {
            case 'r':
                if (r) return Prefix::NotAPrefix;
                r = true;
                break;
            case 'u':
                if (u) return Prefix::NotAPrefix;
                u = true;
                break;
            case 'b':
                if (b) return Prefix::NotAPrefix;
                b = true;
                break;
            case 'f':
                if (f) return Prefix::NotAPrefix;
                f = true;
                break;
            default:
                return Prefix::NotAPrefix;
        }
    }
    if (u && n > 1) return Prefix::NotAPrefix;  // "ur" is no prefix
    if (b && f) return Prefix::NotAPrefix;
    if (b || f) return Prefix::Refused;
    return r ? Prefix::Raw : Prefix::None;
}

class Reader {
public:
    Reader(PyObject* text, PyObject* globals, PyTypeObject* base) noexcept
        : text_(text),
          kind_(PyUnicode_KIND(text)),
          data_(PyUnicode_DATA(text)),
          end_(PyUnicode_GET_LENGTH(text)),
          globals_(globals),
          base_(base) {}
    ~Reader() { PyMem_Free(buffer_); }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // The tree of the whole text.
    bool parse(Node& tree) noexcept {
        if (PyUnicode_FindChar(text_, 0, 0, end_, 1) != -1) return fail("the text holds a null character");
        if (!skip_leading()) return false;
        bool is_name = false;
        if (!parse_operand(0, is_name, tree)) return false;
        if (is_name) return fail("a class name alone is no logic expression");
        if (!tree.call) return fail("a string alone is no logic expression");
        return skip_trailing();
    }

private:
    Py_UCS4 at(Py_ssize_t i) const noexcept { return i < end_ ? PyUnicode_READ(kind_, data_, i) : 0; }
    Py_UCS4 peek(Py_ssize_t offset = 0) const noexcept { return at(pos_ + offset); }
    bool eof() const noexcept { return pos_ >= end_; }

    // A refusal, as either a false outcome or an empty reference.
    struct Failed {
        operator bool() const noexcept { return false; }
        operator Ref() const noexcept { return nullptr; }
    };

    Failed fail(const char* why) noexcept {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_SyntaxError, "%s (at offset %zd)", why, pos_);
        return {};
    }

    // Consumes one line break ("\n", "\r\n" or "\r") if there is one.
    bool newline() noexcept {
        Py_UCS4 c = peek();
        if (c == '\n') {
            ++pos_;
            return true;
        }
        if (c == '\r') {
            pos_ += peek(1) == '\n' ? 2 : 1;
            return true;
        }
        return false;
    }

    // White space between tokens; line breaks only inside brackets.
    bool skip(int depth) noexcept {
        while (!eof()) {
            Py_UCS4 c = peek();
            if (c == ' ' || c == '\t' || c == '\f') {
                ++pos_;
            } else if (c == '#') {
                while (!eof() && peek() != '\n' && peek() != '\r') ++pos_;
            } else if (c == '\\') {
                ++pos_;
                if (!newline()) return fail("unexpected character after line continuation character");
                if (eof()) return fail("unexpected end of text after line continuation");
            } else if (depth > 0 && newline()) {
                continue;
            } else {
                break;
            }
        }
        return true;
    }

    // Comment lines and blank lines before the expression; its own line may
    // not be indented (the first line's indentation is already stripped).
    bool skip_leading() noexcept {
        bool later_line = false;
        while (true) {
            Py_ssize_t line_start = pos_;
            if (!skip(0)) return false;
            if (newline()) {
                later_line = true;
                continue;
            }
            Py_UCS4 first = at(line_start);
            if (later_line && !eof() && (first == ' ' || first == '\t')) {
                pos_ = line_start;
                return fail("unexpected indent");
            }
            return true;
        }
    }

    // After the expression only comments and blank lines.
    bool skip_trailing() noexcept {
        while (true) {
            if (!skip(0)) return false;
            if (eof()) return true;
            if (!newline()) return fail("unexpected text after the expression");
        }
    }

    // A call, a name, a literal group or a parenthesised one of these;
    // `is_name` tells a bare name, which only a call may use.
    bool parse_operand(int depth, bool& is_name, Node& node) noexcept {
        vo::RecursionGuard guard(" while reading a logic string");
        if (!guard.ok()) return false;
        is_name = false;
        if (!skip(depth)) return false;
        Py_UCS4 c = peek();
        if (c == '(') {
            ++pos_;
            if (!parse_operand(depth + 1, is_name, node) || !skip(depth + 1)) return false;
            if (peek() != ')') return fail(peek() == ',' ? "a tuple is no logic expression" : "expected ')'");
            ++pos_;
        } else if (is_quote(c)) {
            node.value = parse_literals(depth, Prefix::None);
        } else if (is_ascii_ident_start(c) || c >= 0x80) {
            Py_ssize_t start = pos_;
            while (!eof() && is_ident_char(peek())) ++pos_;
            Ref word = Ref::steal(PyUnicode_Substring(text_, start, pos_));
            if (!word) return false;
            if (is_quote(peek()) && pos_ - start <= 2 && PyUnicode_IS_ASCII(word.get())) {
                Prefix prefix = classify_prefix(PyUnicode_AsUTF8(word.get()));
                if (prefix == Prefix::Refused) return fail("bytes and f-strings are not accepted");
                if (prefix != Prefix::NotAPrefix) {
                    pos_ = start;
                    node.value = parse_literals(depth, prefix);
                }
            }
            if (!node.value && !PyErr_Occurred()) {
                node.value = resolve_name(word.get(), start);
                is_name = true;
            }
        } else {
            return fail(eof() ? "unexpected end of text" : "expected a call or a string literal");
        }
        if (!node.value || !skip(depth)) return false;
        if (peek() != '(') return true;
        if (!is_name) return fail("only a logic class can be called");
        ++pos_;
        is_name = false;
        node.call = true;
        return parse_arguments(depth + 1, node.arguments);
    }

    // The positional arguments of a call, after its "(", up to its ")".
    bool parse_arguments(int depth, std::vector<Node>& arguments) noexcept {
        while (true) {
            if (!skip(depth)) return false;
            if (peek() == ')') break;
            bool is_name = false;
            if ((arguments.empty() && !vo::reserve(arguments, 4)) || !vo::push(arguments)) return false;
            if (!parse_operand(depth, is_name, arguments.back())) return false;
            if (is_name) return fail("only string literals and calls of logic classes are accepted as arguments");
            if (!skip(depth)) return false;
            if (peek() == ',') {
                ++pos_;
                continue;
            }
            if (peek() == ')') break;
            return fail("expected ',' or ')'");
        }
        ++pos_;
        return true;
    }

    // A name must be bound in the module namespace to a logic class.
    Ref resolve_name(PyObject* word, Py_ssize_t start) noexcept {
        Ref name = Ref::borrow(word);
        if (PyUnicode_IS_ASCII(word)) {
            if (is_keyword(PyUnicode_AsUTF8(word))) {
                pos_ = start;
                return fail("a keyword is no logic class");
            }
        } else {
            if (!PyUnicode_IsIdentifier(word)) {
                pos_ = start;
                return fail("invalid character in a name");
            }
            name = normalize(word);
            if (!name) return nullptr;
        }
        Ref value;
        int found = vo::compat::dict_get_ref(globals_, name.get(), value);
        if (found < 0) return nullptr;
        if (!found || !PyType_Check(value.get()) || !PyType_IsSubtype(value.type_ptr(), base_)) {
            PyErr_Format(PyExc_SyntaxError, "name '%U' is not a logic class of the module (at offset %zd)", name.get(),
                         start);
            return nullptr;
        }
        return value;
    }

    // NFKC, as the interpreter normalises non-ASCII identifiers.
    static Ref normalize(PyObject* word) noexcept {
        Ref unicodedata = Ref::steal(PyImport_ImportModule("unicodedata"));
        if (!unicodedata) return nullptr;
        return Ref::steal(PyObject_CallMethod(unicodedata.get(), "normalize", "sO", "NFKC", word));
    }

    // One or more adjacent string literals, concatenated: the decoded str.
    Ref parse_literals(int depth, Prefix prefix) noexcept {
        if (!buffer_) {
            // Decoding never lengthens a literal, so the text's length bounds every group.
            buffer_ = static_cast<Py_UCS4*>(PyMem_Malloc(sizeof(Py_UCS4) * static_cast<size_t>(end_ + 1)));
            if (!buffer_) {
                PyErr_NoMemory();
                return nullptr;
            }
        }
        Py_ssize_t length = 0;
        while (true) {
            if (!read_literal(prefix == Prefix::Raw, length)) return nullptr;
            Py_ssize_t after = pos_;
            if (!skip(depth)) return nullptr;
            prefix = next_literal_prefix();
            if (prefix == Prefix::Refused) return fail("bytes and f-strings are not accepted");
            if (prefix == Prefix::NotAPrefix) {
                pos_ = after;
                break;
            }
        }
        return Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, buffer_, length));
    }

    // Whether a literal starts here, and with which prefix (which it skips).
    Prefix next_literal_prefix() noexcept {
        if (is_quote(peek())) return Prefix::None;
        char word[3] = {};
        int n = 0;
        while (n < 3 && is_ident_char(peek(n))) {
            Py_UCS4 c = peek(n);
            if (c >= 0x80) return Prefix::NotAPrefix;
            if (n < 2) word[n] = static_cast<char>(c);
            ++n;
        }
        if (n == 0 || n > 2 || !is_quote(peek(n))) return Prefix::NotAPrefix;
        Prefix prefix = classify_prefix(word);
        if (prefix == Prefix::None || prefix == Prefix::Raw) pos_ += n;
        return prefix;
    }

    // One literal (prefix already read), decoded onto the buffer at `length`.
    bool read_literal(bool raw, Py_ssize_t& length) noexcept {
        while (is_ident_char(peek())) ++pos_;  // the prefix, if still there
        Py_UCS4 quote = peek();
        bool triple = peek(1) == quote && peek(2) == quote;
        pos_ += triple ? 3 : 1;
        Py_ssize_t start = pos_;
        while (true) {
            if (eof()) return fail("unterminated string literal");
            Py_UCS4 c = peek();
            if (c == '\\') {
                pos_ += 2;
                if (at(pos_ - 1) == '\r' && peek() == '\n') ++pos_;
                if (pos_ > end_) return fail("unterminated string literal");
            } else if (c == quote && (!triple || (peek(1) == quote && peek(2) == quote))) {
                break;
            } else if (c == '\n' || c == '\r') {
                if (!triple) return fail("unterminated string literal");
                ++pos_;
            } else {
                ++pos_;
            }
        }
        Py_ssize_t stop = pos_;
        pos_ += triple ? 3 : 1;
        return raw ? copy_raw(start, stop, length) : decode(start, stop, length);
    }

    bool copy_raw(Py_ssize_t i, Py_ssize_t stop, Py_ssize_t& length) noexcept {
        while (i < stop) {
            Py_UCS4 c = at(i++);
            if (c == '\r') {
                c = '\n';
                if (i < stop && at(i) == '\n') ++i;
            }
            buffer_[length++] = c;
        }
        return true;
    }

    // Escapes as the interpreter decodes them in a str literal.
    bool decode(Py_ssize_t i, Py_ssize_t stop, Py_ssize_t& length) noexcept {
        while (i < stop) {
            Py_UCS4 c = at(i++);
            if (c == '\r') {
                if (i < stop && at(i) == '\n') ++i;
                buffer_[length++] = '\n';
                continue;
            }
            if (c != '\\') {
                buffer_[length++] = c;
                continue;
            }
            Py_ssize_t escape_at = i - 1;
            Py_UCS4 e = at(i++);  // a backslash is never last: the literal scan saw to that
            switch (e) {
                case '\n':
                    break;
                case '\r':
                    if (i < stop && at(i) == '\n') ++i;
                    break;
                case '\\':
                case '\'':
                case '"':
                    buffer_[length++] = e;
                    break;
                case 'a':
                    buffer_[length++] = '\a';
                    break;
                case 'b':
                    buffer_[length++] = '\b';
                    break;
                case 'f':
                    buffer_[length++] = '\f';
                    break;
                case 'n':
                    buffer_[length++] = '\n';
                    break;
                case 'r':
                    buffer_[length++] = '\r';
                    break;
                case 't':
                    buffer_[length++] = '\t';
                    break;
                case 'v':
                    buffer_[length++] = '\v';
                    break;
                case '0':
                case '1':
                case '2':
                case '3':
                case '4':
                case '5':
                case '6':
                case '7': {
                    // Up to three octal digits; above 0o377 the code point, as the interpreter takes it.
                    Py_UCS4 value = e - '0';
                    for (int k = 0; k < 2 && i < stop && at(i) >= '0' && at(i) <= '7'; ++k)
                        value = value * 8 + (at(i++) - '0');
                    buffer_[length++] = value;
                    break;
                }
                case 'x':
                case 'u':
                case 'U': {
                    int digits = e == 'x' ? 2 : e == 'u' ? 4 : 8;
                    Py_UCS4 value = 0;
                    for (int k = 0; k < digits; ++k) {
                        int h = i < stop ? hex_value(at(i)) : -1;
                        if (h < 0) {
                            pos_ = escape_at;
                            return fail(e == 'x'   ? "truncated \\xXX escape"
                                        : e == 'u' ? "truncated \\uXXXX escape"
                                                   : "truncated \\UXXXXXXXX escape");
                        }
                        value = value * 16 + static_cast<Py_UCS4>(h);
                        ++i;
                    }
                    if (value > 0x10FFFF) {
                        pos_ = escape_at;
                        return fail("illegal Unicode character");
                    }
                    buffer_[length++] = value;
                    break;
                }
                case 'N': {
                    Py_UCS4 value;
                    if (!named_character(escape_at, i, stop, value)) return false;
                    buffer_[length++] = value;
                    break;
                }
                default:
                    // Not an escape: the backslash stays, as the interpreter keeps it.
                    buffer_[length++] = '\\';
                    buffer_[length++] = e;
                    break;
            }
        }
        return true;
    }

    // `\N{name}`: looked up by the interpreter's own unicode-escape codec,
    // which knows the same names and aliases the interpreter's parser does.
    bool named_character(Py_ssize_t escape_at, Py_ssize_t& i, Py_ssize_t stop, Py_UCS4& value) noexcept {
        Py_ssize_t close = i;
        if (i < stop && at(i) == '{')
            while (close < stop && at(close) != '}') ++close;
        if (i >= stop || at(i) != '{' || close >= stop || close == i + 1) {
            pos_ = escape_at;
            return fail("malformed \\N character escape");
        }
        Ref name = Ref::steal(PyUnicode_Substring(text_, escape_at, close + 1));
        if (!name) return false;
        if (!PyUnicode_IS_ASCII(name.get())) {
            pos_ = escape_at;
            return fail("unknown Unicode character name");
        }
        Py_ssize_t size = 0;
        const char* ascii = PyUnicode_AsUTF8AndSize(name.get(), &size);
        if (!ascii) return false;
        Ref decoded = Ref::steal(PyUnicode_DecodeUnicodeEscape(ascii, size, "strict"));
        if (!decoded) return false;
        if (PyUnicode_GET_LENGTH(decoded.get()) != 1) {
            pos_ = escape_at;
            return fail("unknown Unicode character name");
        }
        value = PyUnicode_READ_CHAR(decoded.get(), 0);
        i = close + 1;
        return true;
    }

    PyObject* text_;
    int kind_;
    const void* data_;
    Py_ssize_t pos_ = 0;
    Py_ssize_t end_;
    PyObject* globals_;
    PyTypeObject* base_;
    Py_UCS4* buffer_ = nullptr;
};

// Calls the classes of the tree, arguments before the call that takes them.
Ref build(const Node& node) noexcept {
    if (!node.call) return node.value;
    vo::RecursionGuard guard(" while building a logic expression");
    if (!guard.ok()) return nullptr;
    constexpr size_t kOnStack = 8;
    size_t n = node.arguments.size();
    Ref held_on_stack[kOnStack];
    PyObject* argv_on_stack[kOnStack];
    std::vector<Ref> held_on_heap;
    std::vector<PyObject*> argv_on_heap;
    Ref* held = held_on_stack;
    PyObject** argv = argv_on_stack;
    if (n > kOnStack) {
        if (!vo::resize(held_on_heap, n) || !vo::resize(argv_on_heap, n)) return nullptr;
        held = held_on_heap.data();
        argv = argv_on_heap.data();
    }
    for (size_t i = 0; i < n; ++i) {
        held[i] = build(node.arguments[i]);
        if (!held[i]) return nullptr;
        argv[i] = held[i].get();
    }
    return Ref::steal(PyObject_Vectorcall(node.value.get(), argv, n, nullptr));
}

}  // namespace

Ref read_logic(PyObject* text, PyObject* globals, PyTypeObject* base) noexcept {
    Node tree;
    {
        Reader reader(text, globals, base);
        if (!reader.parse(tree)) return nullptr;
    }
    return build(tree);
}

}  // namespace logic
