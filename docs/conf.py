"""Sphinx configuration of the graphripple documentation.

Built by ``scripts/docs`` (``sphinx-build -W --keep-going -b html docs
build/docs/html``) against the installed package: the API pages come from
its docstrings and the gallery scripts in ``examples/`` run during the build.
"""

from __future__ import annotations

import os
import sys
from importlib import metadata
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(Path(__file__).resolve().parent))

project = "graphripple"
author = "the graphripple developers"
copyright = "the graphripple developers"
try:
    release = metadata.version("graphripple")
except metadata.PackageNotFoundError:  # building against a tree without an installed package
    release = "0.1.0"
version = release

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.napoleon",
    "sphinx.ext.intersphinx",
    "sphinx.ext.viewcode",
    "sphinx_gallery.gen_gallery",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build", "**.ipynb_checkpoints", "auto_examples/*.ipynb", "auto_examples/*.py",
                    "auto_examples/*.zip", "auto_examples/*.json", "auto_examples/*.md5"]
templates_path = ["_templates"]

# The docstrings are written as prose with the occasional numpydoc section;
# napoleon reads both without complaint.
napoleon_google_docstring = False
napoleon_numpy_docstring = True
napoleon_use_rtype = False
autosummary_generate = True
autosummary_imported_members = True
autodoc_member_order = "bysource"
autodoc_typehints = "description"
autodoc_typehints_description_target = "documented"
autodoc_typehints_format = "short"

myst_enable_extensions = ["colon_fence", "deflist", "dollarmath"]
myst_heading_anchors = 3

intersphinx_mapping = {
    "python": ("https://docs.python.org/3", None),
    "numpy": ("https://numpy.org/doc/stable/", None),
}
# No network during the build: intersphinx inventories are only fetched
# when GRAPHRIPPLE_DOCS_INTERSPHINX=1.
if os.environ.get("GRAPHRIPPLE_DOCS_INTERSPHINX") != "1":
    intersphinx_mapping = {}

sphinx_gallery_conf = {
    "examples_dirs": str(ROOT / "examples"),
    "gallery_dirs": "auto_examples",
    "filename_pattern": r"/plot_",
    "download_all_examples": False,
    "remove_config_comments": True,
    "within_subsection_order": "FileNameSortKey",
    "abort_on_example_error": True,
    "matplotlib_animations": False,
    "show_memory": False,
    "write_computation_times": False,
}

html_theme = "furo"
html_title = f"graphripple {release}"
html_static_path: list[str] = []
html_show_sourcelink = False
