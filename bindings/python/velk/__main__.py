"""python3 -m velk: the attached device's mode (status), as velkctl prints it; check and list
run velkctl itself, which checks files with the library's own format code and lists devices
through the library's access layer (velkctl on PATH, or the program VELKCTL names)."""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
from typing import List, Optional

import velk
from velk._facts import FIRST_CODE

# velkctl's exit statuses: 3 when no device was opened, 10 + the error kind for a failed call.
EXIT_NO_DEVICE = 3
EXIT_ERROR_BASE = 10


def _velkctl(arguments: List[str]) -> int:
    program = os.environ.get("VELKCTL") or shutil.which("velkctl")
    if not program:
        print("velk: check and list need velkctl (on PATH, or set VELKCTL)", file=sys.stderr)
        return 1
    return subprocess.call([program, *arguments])


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python3 -m velk", description=__doc__)
    parser.add_argument("--version", action="version", version=f"velk {velk.__version__}")
    parser.add_argument("--log", metavar="FILE", help="write the library's log to FILE")
    parser.add_argument("--log-level", type=int, default=4, metavar="N",
                        help="log level with --log: 1 error ... 4 debug (default), 5 trace")
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("status", help="print the device's mode")
    check = commands.add_parser("check", help="say what each file is and whether the device "
                                "would take it (offline)")
    check.add_argument("files", nargs="+", metavar="FILE")
    commands.add_parser("list", help="list the attached Vexo devices")
    args = parser.parse_args(argv)
    if args.command == "check":
        return _velkctl(["check", *args.files])
    if args.command == "list":
        return _velkctl(["list"])
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
        return EXIT_ERROR_BASE + (error.code or 0) - FIRST_CODE
    except velk.LibraryNotFound as error:
        print(f"velk: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
