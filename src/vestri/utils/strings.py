"""String helpers of the framework: value conversion and command-line decoding."""

import re

__all__ = ["typecast_str", "decode_cli_string"]

# Canonical spellings only: what repr() of the value would print.  "007",
# "+5", "1.", "1_000", "3.10" and "1e5" stay text, so identifiers such as
# postcodes or version strings are not mangled.  _FLOAT only screens out what
# cannot be a float's repr cheaply; the repr itself decides.
_INT = re.compile(r"-?(?:0|[1-9][0-9]*)")
_FLOAT = re.compile(r"-?(?:0|[1-9][0-9]*)(?:\.[0-9]+(?:[eE][+-]?[0-9]+)?|[eE][+-]?[0-9]+)")
_NUMBER_START = frozenset("-0123456789")
_CONSTANTS = {
    "True": True,
    "true": True,
    "False": False,
    "false": False,
    "None": None,
    "none": None,
    "null": None,
}


def typecast_str(value):
    """Convert a string that exactly spells a Python constant or number.

    - A value that is not a ``str`` is returned as the very same object.
    - ``"True"``/``"true"`` and ``"False"``/``"false"`` become booleans;
      ``"None"``, ``"none"`` and ``"null"`` become ``None``.
    - A canonical decimal integer (``"42"``, ``"-7"``, ``"0"``) becomes an
      ``int``; a string that is exactly how Python prints a finite float
      (``"1.5"``, ``"-0.25"``, ``"1.0"``, ``"1e+16"``) becomes that
      ``float``.  ``"3.10"``, ``"1.50"``, ``"1e5"`` and ``"2.0.1"`` are not
      how a float prints, so version strings and the like stay text.
    - Every other string, surrounding white space included, is returned
      unchanged (the same object).

    The conversion is idempotent: converting its own result again gives the
    same result.
    """
    if not isinstance(value, str):
        return value
    # Every value stored in a configuration passes through here, most of
    # them text that is no number: one look at the first character settles it.
    if not value or value[0] not in _NUMBER_START:
        return _CONSTANTS.get(value, value)
    if _INT.fullmatch(value):
        return int(value)
    if _FLOAT.fullmatch(value):
        number = float(value)
        if repr(number) == value:
            return number
    return value


def decode_cli_string(text):
    """Return the text of a command-line argument as ``str``.

    A ``str`` is returned unchanged; ``bytes`` (as the operating system
    hands over undecodable arguments) are decoded as UTF-8 with the
    ``surrogateescape`` handler, as the interpreter decodes ``sys.argv``.
    Anything else is a ``TypeError``.
    """
    if isinstance(text, str):
        return text
    if isinstance(text, (bytes, bytearray)):
        return bytes(text).decode("utf-8", "surrogateescape")
    raise TypeError(f"decode_cli_string() expects str or bytes, not {type(text).__name__}")
