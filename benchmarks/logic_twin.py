"""The logic classes written plainly in Python, for the benchmarks' third column.

The same behaviour as vestri.ondrel.logic, kept short: what the C++ buys is
the ratio between the two in the same run.
"""

import re

from vestri.utils.strings import decode_cli_string


class BaseLogic:
    def __init__(self, *expressions):
        self.expressions = []
        for expression in expressions:
            if isinstance(expression, str):
                expression = re.compile(expression)
            elif not callable(expression):
                raise TypeError("Expression only accepts str and callable. Got: "
                                + str(expression) + " (" + str(type(expression)) + ")")
            self.expressions.append(expression)

    def _test(self, expression, items):
        if isinstance(expression, BaseLogic):
            return bool(expression(*items))
        if callable(expression):
            return any([expression(item) for item in items])
        return any([expression.search(str(item)) for item in items])

    def __call__(self):
        raise NotImplementedError

    def __str__(self):
        parts = [repr(e) if callable(e) else "'%s'" % e.pattern for e in self.expressions]
        return type(self).__name__ + "(" + ", ".join(parts) + ")"

    def __repr__(self):
        return str(self)

    def __eq__(self, other):
        if type(other) is not type(self):
            return False
        return self.expressions == other.expressions


class And(BaseLogic):
    def __call__(self, *items):
        for expression in self.expressions:
            if not self._test(expression, items):
                return False
        return True


class Or(BaseLogic):
    def __call__(self, *items):
        for expression in self.expressions:
            if self._test(expression, items):
                return True
        return False


class Not(BaseLogic):
    def __call__(self, *items):
        for expression in self.expressions:
            if self._test(expression, items):
                return False
        return True


def logic_str(string):
    string = decode_cli_string(string)
    try:
        result = eval(string, globals(), {"string": string})
        assert isinstance(result, BaseLogic)
    except Exception:
        raise ValueError("Not a properly formatted logic string: %s" % string)
    return result
