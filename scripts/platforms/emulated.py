"""pytest plugin for the suite under emulation (scripts/arm64.sh loads it with `-p emulated`).

Property-based tests run a quarter of their examples (at least 25): under qemu each example
costs ten to twenty times what it costs natively, and the native runs keep the full counts.
"""

import pytest

FRACTION = 0.25
LEAST = 25


@pytest.hookimpl(trylast=True)
def pytest_collection_modifyitems(items):
    from hypothesis import settings

    seen = set()
    for item in items:
        test = getattr(item, "obj", None)
        # @given keeps the settings it runs with on the wrapped test, and reads them per run.
        current = getattr(test, "_hypothesis_internal_use_settings", None)
        if current is None or id(test) in seen:
            continue
        seen.add(id(test))
        examples = max(LEAST, int(current.max_examples * FRACTION))
        if examples < current.max_examples:
            test._hypothesis_internal_use_settings = settings(current, max_examples=examples)
