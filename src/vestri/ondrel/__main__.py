"""`python -m vestri.ondrel`: the ``ondrel`` command."""

import sys

from vestri.ondrel.cli import main

sys.exit(main(prog="python -m vestri.ondrel"))
