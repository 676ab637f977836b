# The two commands of the README: `make demo` and `make test`. Each bootstraps what it needs.
# `make docs` builds the documentation site into build/docs/html and checks it in a browser.
SHELL := /bin/bash
CACHE ?= $(or $(TARN_CACHE),$(HOME)/.cache/tarn)
UV := $(CACHE)/tools/bin/uv
VENVS ?= cp314 ft
PYTEST_ARGS ?=
# ENV_TAG gives a separate set of environments and build folders (.venv/cp314$(ENV_TAG), ...);
# MODULES builds only the named extensions (default: all three).
ENV_TAG ?=
MODULES ?= plinth;ssh;terminal
# Extra scikit-build-core settings for the build (test-sanitize sets them).
BUILD_SETTINGS ?=
export TARN_VENV_TAG := $(ENV_TAG)
export UV_CACHE_DIR := $(CACHE)/uv
# CPython's own 3.14 source, from which the free-threaded interpreter is built while Debian
# serves no 3.14 source package: the shared copy beside the project, when there is one.
TARN_CPYTHON_SOURCE ?= $(wildcard $(abspath $(CURDIR)/../shared/cpython/Python-3.14.7.tar.xz))
export TARN_CPYTHON_SOURCE

.PHONY: bootstrap install test test-sanitize demo bench docs clean

# Bootstraps the interpreters of VENVS only (demo: CPython 3.14 alone, without the test tools).
BOOTSTRAP_ARGS ?=
bootstrap:
	@bash scripts/bootstrap.sh $(BOOTSTRAP_ARGS) $(VENVS)

# Build the extensions from the current sources into every environment (incremental builds
# are kept under build/).
install: bootstrap
	@for v in $(VENVS); do \
	  echo "== building tarn into .venv/$$v$(ENV_TAG)"; \
	  $(UV) pip install -q --python .venv/$$v$(ENV_TAG)/bin/python --no-deps --no-build-isolation \
	    -C build-dir='build/{wheel_tag}$(ENV_TAG)' -C cmake.define.TARN_MODULES='$(MODULES)' \
	    $(BUILD_SETTINGS) --reinstall-package tarn . || exit 1; \
	done

test: install
	@status=0; for v in $(VENVS); do \
	  echo "== tests on .venv/$$v: $$(.venv/$$v$(ENV_TAG)/bin/python -VV | head -1)"; \
	  .venv/$$v$(ENV_TAG)/bin/python -m pytest $(PYTEST_ARGS) || status=1; \
	done; exit $$status

# The whole suite against extensions built with AddressSanitizer and UndefinedBehaviorSanitizer,
# in their own environments (.venv/<name>-asan). The interpreters are the usual ones, so the
# sanitizer runtime is preloaded. On the GIL build PYTHONMALLOC=malloc hands every Python object
# to it, which turns a reference dropped too early into a reported use after free (the
# free-threaded build only runs on its own allocator). Leak detection is off because the
# interpreter itself does not free everything at exit. TARN_SANITIZED tells the tests that
# resident-memory figures mean nothing here (the sanitizer holds freed memory in quarantine).
# The C++ runtime is preloaded with it: a C++ library loaded later (p4p's pvxs) that throws an
# exception would otherwise meet the sanitizer's __cxa_throw interceptor without the real one
# behind it, and abort.
SANITIZE_TAG ?= -asan
SANITIZE_ENV = LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libstdc++.so)" TARN_SANITIZED=1 \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
test-sanitize:
	@$(MAKE) --no-print-directory install ENV_TAG=$(SANITIZE_TAG) \
	  BUILD_SETTINGS="-C cmake.define.TARN_SANITIZE=ON -C cmake.build-type=RelWithDebInfo"
	@status=0; for v in $(VENVS); do \
	  echo "== sanitized tests on .venv/$$v$(SANITIZE_TAG): $$(.venv/$$v$(SANITIZE_TAG)/bin/python -VV | head -1)"; \
	  py=.venv/$$v$(SANITIZE_TAG)/bin/python; \
	  malloc=$$($$py -c 'import sysconfig; print("mimalloc" if sysconfig.get_config_var("Py_GIL_DISABLED") else "malloc")'); \
	  $(SANITIZE_ENV) PYTHONMALLOC=$$malloc $$py -m pytest $(PYTEST_ARGS) || status=1; \
	done; exit $$status

demo: VENVS = cp314
demo: BOOTSTRAP_ARGS = --demo
demo: install
	@.venv/cp314$(ENV_TAG)/bin/python examples/demo.py

bench: install
	@for v in $(VENVS); do \
	  echo "== benchmarks on .venv/$$v: $$(.venv/$$v$(ENV_TAG)/bin/python -VV | head -1)"; \
	  for b in bench/bench_*.py; do .venv/$$v$(ENV_TAG)/bin/python $$b || exit 1; done; \
	done

# The site from docs/ (MyST pages, the API reference read from the stubs and Python sources;
# nothing is built or imported), warnings as errors and every cross-reference checked; then
# docs/test_site.py opens it in headless chromium and writes screenshots to build/docs/.
DOCS_PY = .venv/docs$(ENV_TAG)/bin/python
docs:
	@bash scripts/bootstrap.sh docs
	@rm -rf build/docs/html build/docs/doctrees
	@$(DOCS_PY) -m sphinx -q -W --keep-going -n -b html -d build/docs/doctrees docs build/docs/html
	@echo "== site: build/docs/html/index.html"
	@$(DOCS_PY) -m pytest -p no:cacheprovider docs/test_site.py

clean:
	rm -rf build dist

# --- other platforms ---------------------------------------------------------------------------
.PHONY: test-arm64 check-platforms wheels

# Linux arm64: the modules cross-compiled with Debian's aarch64 GCC, the suite (without the slow
# groups) run with unstable's arm64 CPython 3.14 under qemu-user (scripts/arm64.sh).
test-arm64: bootstrap
	@MODULES='$(MODULES)' bash scripts/arm64.sh test $(PYTEST_ARGS)

# Windows and macOS: every source compiled with zig's clang, warnings as errors.
check-platforms: bootstrap
	@bash scripts/check_platforms.sh

# manylinux wheels of the cp314 and free-threaded interpreters in dist/, the cp314 one tested
# in a fresh environment.
wheels: bootstrap
	@bash scripts/wheels.sh $(VENVS)
