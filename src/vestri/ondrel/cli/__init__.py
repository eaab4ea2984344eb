"""The ``ondrel`` command: show and compare layered configuration.

``ondrel show SOURCE...`` merges INI, YAML, JSON and TOML files, entry-point
groups and environment variables, in the order given, into one
`Configuration` and prints it as a tree, as ``dotted.path = value`` lines,
or as JSON or YAML; ``ondrel diff A B`` lists the leaves that differ between
two such merges.  The walk over the leaves is a `Trellan`, the tree an
`Arbel`, the ``--match`` filter a `logic_str` expression: the command is
built from the package's own classes.

The package is split by what changes: `sources` (what a source names, reading
and parsing it, its mistakes as one line), `loading` (merging, origins and
history), `paths` (how a path is written and read back), `rendering` (tree,
lines, JSON, YAML) and `commands` (the command line).  This module imports
nothing heavy, so that an interrupt at any moment ends the command quietly.

Errors are one line on standard error and exit status 2, never a traceback
(``ONDREL_TRACEBACK=1`` shows the traceback of an unexpected one); ``--get``
of a missing key and ``diff`` of differing sources exit 1, an interrupt 130.
"""

from __future__ import annotations

import os
import sys

# Names for the type checker only: an interrupt that comes before `main` runs
# cannot be caught, so nothing is imported here that the interpreter has not
# loaded already.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Sequence

__all__ = ["main"]

EXIT_INTERRUPTED = 130


def main(argv: Sequence[str] | None = None, prog: str | None = None) -> int:
    """Run the command with `argv` (default: the process arguments); returns
    the exit status.  Messages name the program `prog`, by default as it was
    invoked."""
    if prog is None:
        prog = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else "ondrel"
    try:
        from vestri.ondrel.cli.commands import run

        return run(argv, prog)
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
