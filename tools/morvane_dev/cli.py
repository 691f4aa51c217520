"""Command line of the developer tooling."""

from __future__ import annotations

import argparse

from . import example, testcmd, wheels
from .sidroot import SidRoot
from .system import Failure, say


def main(argv: list[str]) -> int:
    if argv[:1] == ["example"]:
        # Everything after the command is the example's, --help included.
        try:
            return example.main(argv[1:])
        except Failure as exc:
            say(f"error: {exc}")
            return 1
    parser = argparse.ArgumentParser(
        prog="tools/run.py", description="Morvane's developer tooling.")
    commands = parser.add_subparsers(dest="command", required=True)

    test = commands.add_parser(
        "test", prog="tools/test",
        description="Build Morvane and run its tests on every CPython 3.11+ "
        "here: the newest patch release of each version (from pyenv, PATH "
        "or a Debian sid root) and the system's own python3.X beside it. "
        "Ends with one line 'N passed, N failed'; exits non-zero if any "
        "run failed.",
        epilog="Arguments after '--' go to pytest in every run, e.g. "
        "tools/test --python 3.15 -- -k stemWords -x")
    test.add_argument(
        "--full", action="store_true",
        help="the full gate (what CI runs): also the sanitizers on every "
        "version, valgrind's memcheck, the debug build's reference-leak run, "
        "the memory checkers' self-test, one run against the system's "
        "own libstemmer, and the newest CPython's aarch64 wheel, tested "
        "under qemu")
    test.add_argument(
        "--python", action="append", default=[], metavar="KEY",
        help="test only this CPython (3.11 ... 3.15, 3.15d for the debug "
        "build, 3.11-debian for Debian's own /usr/bin/python3.11; 3.11 "
        "takes every 3.11; with --full, aarch64 for the aarch64 wheel's "
        "run); repeatable")
    test.add_argument("pytest_args", nargs="*", metavar="-- PYTEST ARGS")

    ex = commands.add_parser(
        "example", prog="tools/example", add_help=False,
        help="stem the bundled sample text (arguments go to "
        "examples/stem.py; see its --help)")
    ex.add_argument("example_args", nargs=argparse.REMAINDER)

    wheels.add_parser(commands)

    commands.add_parser(
        "sid-root", help="make or refresh the Debian sid root that holds "
        "CPython 3.13 (its newest patch release), 3.14, 3.15 and 3.15's "
        "debug build (as root)")

    args = parser.parse_args(argv)
    try:
        if args.command == "test":
            return testcmd.main(args.full, args.python, args.pytest_args)
        if args.command == "wheel":
            return wheels.main(args)
        if args.command == "sid-root":
            sid = SidRoot()
            sid.ensure()
            say(f"ok: {sid.path}")
            return 0
    except Failure as exc:
        say(f"error: {exc}")
        return 1
    except KeyboardInterrupt:
        say("interrupted")
        return 130
    raise AssertionError(args.command)
