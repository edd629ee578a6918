# The documentation site: Sphinx with the Furo theme, pages in Markdown (MyST), the API reference
# generated from the modules' __all__ (see _ext/quarn_api.py). Built by `make docs`.

import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "_ext"))

project = "quarn_chess"
author = "The quarn_chess developers"
copyright = "the quarn_chess developers"
release = "0.1.0"

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "quarn_api",
    "quarn_board",
    "quarn_charts",
]

source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
exclude_patterns = ["_build", "**/.ipynb_checkpoints"]
root_doc = "index"

# Links to headings such as rules.md#fen-dialect resolve; ```{directive} and :::{note} work.
myst_heading_anchors = 3
myst_enable_extensions = ["colon_fence", "deflist"]

# The API: signatures as written in the stubs, docstrings in NumPy style; type hints stay in
# the signature (they are exact there) rather than being repeated in the parameter lists.
autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_preserve_defaults = True
napoleon_google_docstring = False
napoleon_numpy_docstring = True
napoleon_use_rtype = False
# The package re-exports names of its submodules (quarn_data.GameError is quarn_data.pgn.GameError),
# so a short name in a docstring finds several entries of one object; any of them is right.
suppress_warnings = ["ref.python"]

html_theme = "furo"
html_title = "quarn_chess"
html_static_path = ["_static"]
html_show_sourcelink = False
html_last_updated_fmt = None
html_theme_options = {
    "sidebar_hide_name": False,
    "navigation_with_keys": True,
}
