"""CPython's own mapping-protocol suite, run against Pointel."""

from test import mapping_tests

from vestri.ondrel.pointel import Pointel


class TestPointelMappingProtocol(mapping_tests.TestHashMappingProtocol):
    type2test = Pointel

    def test_copy(self):
        # copy() is dict's own and returns a plain dict.
        d = self._full_mapping({1: 1, 2: 2, 3: 3})
        self.assertEqual(d.copy(), {1: 1, 2: 2, 3: 3})
        self.assertIs(type(d.copy()), dict)
        self.assertRaises(TypeError, d.copy, None)

    def test_repr(self):
        # The suite expects dict's bare form; a Pointel wraps it in its class name.
        d = self._empty_mapping()
        self.assertEqual(repr(d), "Pointel({})")
        d[1] = 2
        self.assertEqual(repr(d), "Pointel({1: 2})")
        d = self._empty_mapping()
        d[1] = d
        self.assertEqual(repr(d), "Pointel({1: Pointel({...})})")

        class Exc(Exception):
            pass

        class BadRepr:
            def __repr__(self):
                raise Exc()

        self.assertRaises(Exc, repr, self._full_mapping({1: BadRepr()}))
