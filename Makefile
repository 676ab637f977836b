# The two commands of the README: `make demo` and `make test`. Each bootstraps what it needs.
SHELL := /bin/bash
CACHE ?= $(or $(TARN_CACHE),$(HOME)/.cache/tarn)
UV := $(CACHE)/tools/bin/uv
VENVS ?= cp314 ft
PYTEST_ARGS ?=
export UV_CACHE_DIR := $(CACHE)/uv

.PHONY: bootstrap install test demo bench clean

bootstrap:
	@bash scripts/bootstrap.sh

# Build the extensions from the current sources into every environment (incremental builds
# are kept under build/).
install: bootstrap
	@for v in $(VENVS); do \
	  echo "== building tarn into .venv/$$v"; \
	  $(UV) pip install -q --python .venv/$$v/bin/python --no-deps --no-build-isolation \
	    --reinstall-package tarn . || exit 1; \
	done

test: install
	@status=0; for v in $(VENVS); do \
	  echo "== tests on .venv/$$v: $$(.venv/$$v/bin/python -VV | head -1)"; \
	  .venv/$$v/bin/python -m pytest $(PYTEST_ARGS) || status=1; \
	done; exit $$status

demo: VENVS = cp314
demo: install
	@.venv/cp314/bin/python examples/demo.py

bench: install
	@for v in $(VENVS); do \
	  echo "== benchmarks on .venv/$$v: $$(.venv/$$v/bin/python -VV | head -1)"; \
	  for b in bench/bench_*.py; do .venv/$$v/bin/python $$b || exit 1; done; \
	done

clean:
	rm -rf build dist
