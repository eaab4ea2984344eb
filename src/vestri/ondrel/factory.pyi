"""A metaclass whose classes can be told to build one of their subclasses."""

class MetaClassFactory(type):
    # Calling a class made with this metaclass with the keyword "class"
    # (given as **{"class": Sub}) builds an instance of the subclass Sub.
    # The stub leaves __call__ to type's, so that type checkers keep
    # knowing what class an instance is of.
    pass
