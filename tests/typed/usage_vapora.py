from typing import assert_type

from vestri.ondrel.vapora import Vapora


class Node:
    def __init__(self, name: str) -> None:
        self.name = name


a, b = Node("a"), Node("b")
nodes = Vapora([b, a])
assert_type(nodes, Vapora[Node])
assert_type(nodes[0], Node)
assert_type(nodes[0:1], Vapora[Node])
nodes.sort(key=lambda node: node.name)
assert [node.name for node in nodes] == ["a", "b"]
both = nodes + Vapora([Node("c")])
assert_type(both, Vapora[Node])
del b
assert len(nodes) == 1 and nodes[0] is a
keep = Node("keep")
nodes.append(keep)
assert_type(nodes.pop(), Node)
assert len(nodes) == 1
