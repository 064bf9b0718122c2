"""Entry point of the interpreter-based worker: serves requests until end of input."""

import sys

from .tavlo import _run_worker


def main() -> int:
    try:
        _run_worker()
    except Exception as exc:  # the worker's caller reads the reason on standard error
        print(exc, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
