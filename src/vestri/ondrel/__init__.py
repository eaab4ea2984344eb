"""General-purpose container and helper classes, written as C++ extension modules.

Each module is imported on its own, e.g. ``from vestri.ondrel.pointel import NestedPointel``.
"""
