"""Instrument drivers."""


def __getattr__(name: str) -> object:
    # tarn.driver.discover(...) without importing the module first: the module is callable as
    # its function. Imported on first use, so that `python -m tarn.driver.discover` runs it once.
    if name == "discover":
        import importlib

        return importlib.import_module("tarn.driver.discover")
    raise AttributeError(f"module 'tarn.driver' has no attribute {name!r}")
