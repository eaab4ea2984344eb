from typing import Any, assert_type

from vestri.ondrel.sequara import Sequara

order = Sequara([("a", 1), ("b", 2), ("c", 3)])
assert_type(order, Sequara[str, int])
order.move("c", 0)
order.insert("d", 4, 1)
assert_type(order.keys(), list[str])
assert order.keys() == ["c", "d", "a", "b"]
assert_type(order.items(), list[tuple[str, int]])
assert_type(order["a"], int)
same = order.copy()
assert_type(same, Sequara[str, int])
assert same == order and Sequara(b=1, a=2).keys() == ["b", "a"]
assert_type(Sequara.fromkeys(["x"]), Sequara[str, Any | None])
assert_type(Sequara.fromkeys([1, 2], 0.5), Sequara[int, float])
