"""``python -m quorlix``: the same command line as the ``quorlix`` script."""

from .cli import main

if __name__ == "__main__":
    raise SystemExit(main(prog="python -m quorlix"))
