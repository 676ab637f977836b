"""Sphinx configuration of the tarn documentation site (`make docs`)."""

project = "tarn"
author = "the tarn developers"
copyright = "the tarn developers"

extensions = ["myst_parser", "autoapi.extension", "sphinx.ext.napoleon"]

# Docstrings are reStructuredText in Google style; `x` in them is code, as IDEs show it.
default_role = "literal"

# The pages are Markdown; sphinx-autoapi writes the API reference as reStructuredText (it takes
# the first suffix listed). The site's own browser test lives beside the pages.
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build", "test_site.py", "requirements.txt"]

myst_enable_extensions = ["colon_fence", "deflist"]
myst_heading_anchors = 3

# The API reference is read from the sources: the .pyi stubs of the native modules and the Python
# modules beside them. Nothing is imported, so the site builds without a compiled extension.
autoapi_type = "python"
autoapi_dirs = ["../src/tarn"]
autoapi_file_patterns = ["*.pyi", "*.py"]
autoapi_root = "autoapi"
autoapi_add_toctree_entry = False  # api.md places it
autoapi_keep_files = False
autoapi_member_order = "bysource"
autoapi_options = ["members", "undoc-members", "show-inheritance", "show-module-summary",
                   "special-members"]
autoapi_python_class_content = "both"

# Names from outside tarn (the standard library, numpy, paramiko) are not linked: the site is
# built without network access, so there are no inventories to resolve them against. Every
# reference to tarn itself must resolve.
nitpicky = True
nitpick_ignore_regex = [(r"py:.*", r"(?!tarn\b).*")]

html_theme = "furo"
html_title = "tarn"
html_static_path = ["_static"]
