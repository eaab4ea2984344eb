"""A metaclass whose classes can be told to build one of their subclasses."""

from typing import Any

class MetaClassFactory(type):
    # Calling a class made with this metaclass with the keyword "class"
    # (given as **{"class": Sub}) builds an instance of the subclass Sub.
    # Type checkers keep inferring the called class's instances: a
    # metaclass __call__ that returns Any does not replace that.
    def __call__(cls, *args: Any, **kwargs: Any) -> Any: ...
