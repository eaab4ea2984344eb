from typing import assert_type

from vestri.ondrel.arbel import Arbel

root = Arbel("a", [Arbel("b", [Arbel("c"), Arbel("d")])])
leaf = Arbel("e")
leaf.add_child(Arbel("f"))
root.add_child(leaf)
assert_type(str(root), str)
assert str(root).splitlines() == ["a", "|-- b", "|   |-- c", "|   `-- d", "`-- e", "    `-- f"]
