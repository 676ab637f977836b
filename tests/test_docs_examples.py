"""The documentation's examples run as written and print what the pages show.

A page in docs/ opts in with `examples: run` in its front matter. Its ```python blocks then run
in order, in one namespace per page, from a scratch folder, with the source tree's examples/
importable (the driver pages import the example drivers, which find their pyvisa-sim files
beside them); a block marked ```python no-run (one that needs an SSH server or a desktop) is
left out. When a ```text block follows a block
directly, it is what that block prints (doctest's rules: `...` matches anything, runs of
blanks compare equal).
"""

import contextlib
import doctest
import io
import os
import re

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DOCS = os.path.join(ROOT, "docs")
FENCE = re.compile(r"^```([^\n]*)\n(.*?)^```[ \t]*\n", re.M | re.S)
OPTED_IN = re.compile(r"\A---\n(?:.*\n)*?examples:[ \t]*run[ \t]*\n(?:.*\n)*?---\n")


def example_pages():
    return sorted(name for name in os.listdir(DOCS) if name.endswith(".md")
                  and OPTED_IN.match(open(os.path.join(DOCS, name), encoding="utf-8").read()))


def examples(text):
    """The page's runnable blocks as (line number, code, expected output or None)."""
    fences = list(FENCE.finditer(text))
    found = []
    for i, fence in enumerate(fences):
        info = fence.group(1).split()
        if info[:1] != ["python"] or "no-run" in info[1:]:
            continue
        expected = None
        following = fences[i + 1] if i + 1 < len(fences) else None
        if (following is not None and following.group(1).strip() == "text"
                and not text[fence.end():following.start()].strip()):
            expected = following.group(2)
        found.append((text.count("\n", 0, fence.start()) + 2, fence.group(2), expected))
    return found


def test_the_tutorial_pages_opt_in():
    assert {"getting-started.md", "drivers.md", "quantities.md", "codec.md",
            "behaviour.md"} <= set(example_pages())


@pytest.mark.parametrize("page", example_pages())
def test_page_examples(page, tmp_path, monkeypatch):
    with open(os.path.join(DOCS, page), encoding="utf-8") as f:
        blocks = examples(f.read())
    assert blocks, f"{page} opts in but has no runnable ```python block"
    monkeypatch.chdir(tmp_path)
    monkeypatch.syspath_prepend(os.path.join(ROOT, "examples"))
    namespace = {"__name__": "__docs__"}
    checker = doctest.OutputChecker()
    flags = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE
    for line, code, expected in blocks:
        printed = io.StringIO()
        with contextlib.redirect_stdout(printed):
            exec(compile(code, f"{page}:{line}", "exec"), namespace)
        if expected is not None:
            assert checker.check_output(expected, printed.getvalue(), flags), (
                f"{page}, the block at line {line} printed:\n{printed.getvalue()}"
                f"the page shows:\n{expected}")
