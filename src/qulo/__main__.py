"""``python -m qulo``: the command-line tool (see ``qulo --help``)."""

from .cli import main

if __name__ == "__main__":
    raise SystemExit(main())
