"""The tree printer against its baselines (the modes: pairs.py).

`str()` of an 11,000-node tree against anytree's `RenderTree(...).by_attr()`
text of the same tree (rows skipped without anytree) and against the same
class written plainly in Python (`PlainArbel` below).  The last row checks
that the cost is linear in the size of the output: per character, a chain
450 nodes deep (long indented lines) against a bushy tree of 10,000 nodes.
"""

from pairs import Pair, main

TWIN = '''
class PlainArbel:
    def __init__(self, name, children=None):
        if not children:
            children = []
        self.name = name
        self.children = children

    def add_child(self, item):
        self.children.append(item)

    def __str__(self):
        text = self.name
        if not self.children:
            return text
        for child in self.children[:-1]:
            lines = str(child).split("\\n")
            text += "\\n" + "|-- " + lines[0]
            for line in lines[1:]:
                text += "\\n" + "|   " + line
        lines = str(self.children[-1]).split("\\n")
        text += "\\n" + "`-- " + lines[0]
        for line in lines[1:]:
            text += "\\n" + "    " + line
        return text
'''

# A complete ten-way tree: node k has the children 10k+1 .. 10k+10.
SETUP = TWIN + '''
from vestri.ondrel.arbel import Arbel

def complete(cls, count):
    nodes = [cls(f"node{k}") for k in range(count)]
    for k in range(1, count):
        nodes[(k - 1) // 10].add_child(nodes[k])
    return nodes[0]

def chain(cls, depth):
    node = cls("leaf")
    for k in range(depth):
        node = cls(f"node{k}", [node])
    return node

tree = complete(Arbel, 11_000)
plain = complete(PlainArbel, 11_000)
assert str(tree) == str(plain)
bushy = complete(Arbel, 10_000)
deep = chain(Arbel, 450)
'''

ANYTREE = '''
from anytree import Node, RenderTree
from anytree.render import AsciiStyle
anodes = [Node(f"node{k}") for k in range(11_000)]
for k in range(1, 11_000):
    anodes[k].parent = anodes[(k - 1) // 10]
rendering = RenderTree(anodes[0], style=AsciiStyle())
assert len(rendering.by_attr().splitlines()) == 11_000
'''

PAIRS = [
    Pair("str() of 11,000 nodes vs anytree RenderTree text", "str(tree)", "rendering.by_attr()", 10.0, "faster",
         setup=ANYTREE, requires=("anytree",)),
    Pair("str() of 11,000 nodes vs plain Python twin", "str(tree)", "str(plain)", 10.0, "faster"),
    # Linear in the size of the output: the time per character of long
    # indented lines against that of a bushy tree's short ones.
    Pair("str() per character, 450-deep chain vs 10,000-node tree", "str(deep)", "str(bushy)", 1.25, "within",
         per=("len(str(deep))", "len(str(bushy))")),
]


if __name__ == "__main__":
    main(PAIRS, SETUP)
