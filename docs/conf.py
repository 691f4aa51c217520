"""Sphinx configuration of Morvane's documentation.

Build it with the module installed (python -m pip install ".[docs]"):
    python -m sphinx -W -n docs build/docs/html
The test command does the same in its docs run (docs/test_site.py).
"""

from pathlib import Path

import Morvane
from sphinx.pycode import ModuleAnalyzer

project = "Morvane"
author = "Morvane's developers"
copyright = "Morvane's developers; libstemmer: the Snowball project"
release = version = Morvane.version()

extensions = ["myst_parser", "sphinx.ext.autodoc"]
source_suffix = {".md": "markdown"}
exclude_patterns = ["_build"]
# Links to the headings of other pages (page.md#heading) are checked by the
# build, as are the references of the API pages; nothing outside is fetched.
myst_heading_anchors = 3
nitpicky = True

# autodoc reads the installed extension module itself: its docstrings and
# signatures are the module's own (importing it here keeps Sphinx from
# documenting the type stub in its place, which has no docstrings). The
# overloads of stemWord and stemWords exist only in the stub installed
# beside the module, so the source analyser reads that file for them.
ModuleAnalyzer.cache["module", "Morvane"] = ModuleAnalyzer.for_file(
    str(Path(Morvane.__file__).with_name("Morvane.pyi")), "Morvane")
autodoc_member_order = "bysource"

html_theme = "furo"
html_title = f"Morvane {release}"
pygments_style = "default"
# Blocks without a language (program output) are shown as they are.
highlight_language = "none"


def _trim_code_blocks(app, doctree):
    """Drop the blank line that ends each Python session on these pages:
    doctest needs it to tell the last output from the closing fence, the
    reader does not."""
    from docutils import nodes

    for block in doctree.findall(nodes.literal_block):
        text = block.astext()
        if block.rawsource == text and text != text.rstrip("\n"):
            block.rawsource = text.rstrip("\n")
            block.children = [nodes.Text(block.rawsource)]


def setup(app):
    app.connect("doctree-read", _trim_code_blocks)
