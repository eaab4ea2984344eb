"""What every part of the command reports through: one-line errors and warnings."""

from __future__ import annotations

import sys

EXIT_OK, EXIT_DIFFERENT, EXIT_ERROR = 0, 1, 2
EXIT_MISSING_KEY = 1
EXIT_INTERRUPTED = 130  # 128 + SIGINT, as a shell reports a command stopped by Ctrl-C
EXIT_BROKEN_PIPE = 141  # 128 + SIGPIPE, as a shell reports a writer whose reader went away


class CommandError(Exception):
    """A problem with the input, reported as one line and exit status 2."""


class MissingKey(Exception):
    """`--get` named a key that the configuration does not hold (exit status 1)."""


def one_line(exc: BaseException) -> str:
    text = " ".join(str(exc).split())
    return text or type(exc).__name__


class Reporter:
    """Where warnings go: standard error, each text once per run; with
    `strict`, the first warning is an error instead."""

    def __init__(self, prog: str, strict: bool = False) -> None:
        self.prog = prog
        self.strict = strict
        self.seen: set[str] = set()

    def warn(self, text: str) -> None:
        if self.strict:
            raise CommandError(f"{text} (--strict)")
        if text not in self.seen:
            self.seen.add(text)
            print(f"{self.prog}: warning: {text}", file=sys.stderr)
