from typing import assert_type

from vestri.ondrel.factory import MetaClassFactory


class Shape(metaclass=MetaClassFactory):
    def __init__(self, size: int = 1) -> None:
        self.size = size


class Square(Shape):
    pass


shape = Shape(2)
assert_type(shape, Shape)
chosen = Shape(**{"class": Square, "size": 3})  # type: ignore[arg-type]  # "class" is not a parameter of __init__
assert type(chosen) is Square and chosen.size == 3
