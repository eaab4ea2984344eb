"""NestedPointel against a plain-dict model, on random trees."""

import copy

from hypothesis import given
from hypothesis import strategies as st

from vestri.ondrel.pointel import NestedPointel

from outcomes import error_of

TARGET = 'target key "{}" is a value, cannot update value against another NestedPointel'

keys = st.text(alphabet="ab_", max_size=2)  # the empty key included; never a dot
leaves = st.one_of(st.integers(), st.none(), st.text(alphabet="xy.", max_size=3), st.lists(st.integers(), max_size=2))
trees = st.dictionaries(keys, st.recursive(leaves, lambda inner: st.dictionaries(keys, inner, max_size=3),
                                           max_leaves=12), max_size=4)


def leaf_paths(tree, prefix=()):
    for key, value in tree.items():
        if isinstance(value, dict) and value:
            yield from leaf_paths(value, prefix + (key,))
        else:
            yield prefix + (key,), value


def all_levels_are_nested(obj):
    return all(type(v) is NestedPointel and all_levels_are_nested(v) for v in obj.values() if isinstance(v, dict))


def merge(target, source):
    """Deep merge as update defines it: mappings merge into levels, anything else replaces."""
    for key, value in source.items():
        if isinstance(value, dict):
            level = target.setdefault(key, {})
            if not isinstance(level, dict):
                raise AttributeError(f"'{type(level).__name__}' object has no attribute 'update'")
            merge(level, value)
        else:
            target[key] = value


@given(trees)
def test_construction_keeps_the_tree_and_every_dotted_path_reads_its_leaf(tree):
    obj = NestedPointel(tree)
    assert obj == tree and all_levels_are_nested(obj)
    for path, leaf in leaf_paths(tree):
        key = ".".join(path)
        assert obj[key] == leaf and key in obj and obj.get(key, object()) == leaf


@given(trees, trees)
def test_update_is_a_deep_merge(first, second):
    obj = NestedPointel(first)
    expected = copy.deepcopy(first)
    assert error_of(lambda: obj.update(second)) == error_of(lambda: merge(expected, second))
    assert obj == expected and all_levels_are_nested(obj)


@given(trees, st.lists(keys, min_size=1, max_size=4), leaves)
def test_dotted_write_is_a_write_level_by_level(tree, path, value):
    obj = NestedPointel(tree)
    expected = copy.deepcopy(tree)
    error = None
    level = expected
    for segment in path[:-1]:
        level = level.setdefault(segment, {})
        if not isinstance(level, dict):
            error = (KeyError, repr(TARGET.format(segment)))
            break
    else:
        level[path[-1]] = value
    assert error_of(lambda: obj.__setitem__(".".join(path), value)) == error
    assert obj == expected and all_levels_are_nested(obj)
    if error is None:
        assert obj[".".join(path)] == value
        assert obj.pop(".".join(path)) == value
