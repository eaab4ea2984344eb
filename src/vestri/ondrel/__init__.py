"""General-purpose container and helper classes, written as C++ extension modules.

Each module is imported on its own, e.g. ``from vestri.ondrel.pointel import NestedPointel``.
The command ``ondrel`` (also ``python -m vestri.ondrel``) shows and compares
layered configuration files; see ``ondrel --help``.
"""

# The single place the version is written: the build reads it from here.
__version__ = "0.1.0"
