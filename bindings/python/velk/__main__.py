"""python3 -m velk status: prints the attached device's mode, as velkctl does."""

from __future__ import annotations

import argparse
import sys
from typing import List, Optional

import velk

# velkctl's exit statuses: 3 when no device was opened, 10 + the error kind for a failed call.
EXIT_NO_DEVICE = 3
EXIT_ERROR_BASE = 10


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python3 -m velk", description=__doc__)
    parser.add_argument("--log", metavar="FILE", help="write the library's log to FILE")
    parser.add_argument("--log-level", type=int, default=4, metavar="N",
                        help="log level with --log: 1 error ... 4 debug (default), 5 trace")
    parser.add_argument("command", choices=["status"])
    args = parser.parse_args(argv)
    try:
        if args.log:
            velk.init_log(args.log, args.log_level)
        with velk.open() as dev:
            mode = dev.status()
        print(f"mode: {mode.value} {mode.name}")
        return 0
    except velk.NoDevice as error:
        print(f"velk: {error}", file=sys.stderr)
        return EXIT_NO_DEVICE
    except velk.VelkError as error:
        print(f"velk: {error}", file=sys.stderr)
        return EXIT_ERROR_BASE + (error.code or 0) + 65535
    except velk.LibraryNotFound as error:
        print(f"velk: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
