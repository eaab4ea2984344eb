from typing import assert_type

from vestri.ondrel.logic import And, BaseLogic, Not, Or, logic_str

rule = And("^db\\.", Not("password"))
assert_type(rule("db.host"), bool)
assert rule("db.host") and not rule("db.password")
assert Or("x", lambda value: value == 3)(3)
parsed = logic_str("Or('x', Not('y'))")
assert_type(parsed, BaseLogic)
assert str(parsed) == "Or('x', Not('y'))" and parsed == Or("x", Not("y"))
