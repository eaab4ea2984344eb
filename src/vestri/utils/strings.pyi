from typing import Any

__all__ = ["typecast_str", "decode_cli_string"]

# The result is the value itself unless it is text that spells a number, a
# boolean or None.
def typecast_str(value: Any) -> Any: ...
def decode_cli_string(text: str | bytes | bytearray) -> str: ...
