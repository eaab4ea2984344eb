from typing import Any, assert_type

from vestri.ondrel.trellan import DictItem, IndexMarker, Trellan

pairs = Trellan({"a": {"b": 1, "c": [10, {"d": 2}]}, "e": {}})
assert len(pairs) == 4
first = pairs[0]
assert isinstance(first, DictItem) and first.path == ("a", "b")
path, value = first
assert_type(path, tuple[Any, ...])
marker = pairs[1].path[2]
assert isinstance(marker, IndexMarker) and marker.index == 0
assert_type(marker.type_ is list, bool)
pairs.append((("x", "y"), 1))
pairs.insert(0, (("first",), 0))
pairs.extend([(("z",), 2)])
rebuilt = pairs.reconstruct()
assert_type(rebuilt, dict[Any, Any])
assert rebuilt["a"]["c"] == [10, {"d": 2}] and rebuilt["x"] == {"y": 1}
assert list(Trellan.__flatten__({"k": 1}, ("root",))) == [(("root", "k"), 1)]
