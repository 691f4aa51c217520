"""Morvane's developer tooling: the test command's tiers, the interpreters
they run on (pyenv's, the PATH's and a Debian sid root's), the builds, and
the memory checkers' reports.

Run it as ``python3 tools/run.py COMMAND`` or through the thin wrappers
tools/test and tools/example. It needs only the standard library of the
host's python3 (3.11 or newer).
"""
