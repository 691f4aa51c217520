#!/usr/bin/env python3
"""Entry to Morvane's developer tooling (tools/morvane_dev): the test
command, the example, and the sid root. tools/test and tools/example call
it; `python3 tools/run.py --help` lists the commands."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from morvane_dev.cli import main  # noqa: E402

if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
