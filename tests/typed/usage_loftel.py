from typing import Any, assert_type

from vestri.ondrel.loftel import LoftelDescriptor, loftel


class Model:
    # The function receives the class; type checkers take a method's first
    # parameter for an instance, so it is annotated here.
    @loftel
    def table(cls: Any) -> str:
        return str(cls.__name__).lower() + "s"


class User(Model):
    pass


assert_type(Model.table, str)
assert_type(User().table, str)
assert Model.table == "models" and User.table == "users"
assert loftel is LoftelDescriptor
