# The two commands of the README: `make demo` and `make test`. Each bootstraps what it needs.
SHELL := /bin/bash
CACHE ?= $(or $(TARN_CACHE),$(HOME)/.cache/tarn)
UV := $(CACHE)/tools/bin/uv
VENVS ?= cp314 ft
PYTEST_ARGS ?=
# ENV_TAG gives a separate set of environments and build folders (.venv/cp314$(ENV_TAG), ...);
# MODULES builds only the named extensions (default: all three).
ENV_TAG ?=
MODULES ?= plinth;ssh;terminal
export TARN_VENV_TAG := $(ENV_TAG)
export UV_CACHE_DIR := $(CACHE)/uv

.PHONY: bootstrap install test demo bench clean

bootstrap:
	@bash scripts/bootstrap.sh

# Build the extensions from the current sources into every environment (incremental builds
# are kept under build/).
install: bootstrap
	@for v in $(VENVS); do \
	  echo "== building tarn into .venv/$$v$(ENV_TAG)"; \
	  $(UV) pip install -q --python .venv/$$v$(ENV_TAG)/bin/python --no-deps --no-build-isolation \
	    -C build-dir='build/{wheel_tag}$(ENV_TAG)' -C cmake.define.TARN_MODULES='$(MODULES)' \
	    --reinstall-package tarn . || exit 1; \
	done

test: install
	@status=0; for v in $(VENVS); do \
	  echo "== tests on .venv/$$v: $$(.venv/$$v$(ENV_TAG)/bin/python -VV | head -1)"; \
	  .venv/$$v$(ENV_TAG)/bin/python -m pytest $(PYTEST_ARGS) || status=1; \
	done; exit $$status

demo: VENVS = cp314
demo: install
	@.venv/cp314$(ENV_TAG)/bin/python examples/demo.py

bench: install
	@for v in $(VENVS); do \
	  echo "== benchmarks on .venv/$$v: $$(.venv/$$v$(ENV_TAG)/bin/python -VV | head -1)"; \
	  for b in bench/bench_*.py; do .venv/$$v$(ENV_TAG)/bin/python $$b || exit 1; done; \
	done

clean:
	rm -rf build dist
