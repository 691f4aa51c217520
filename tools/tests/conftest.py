"""The tooling's tests: the test command, the memory checkers' reports and
self-test, the wheels, the formatting check and benchmark.py. They import
tools/morvane_dev as a package; the module's own behaviour is tested in
tests/."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
