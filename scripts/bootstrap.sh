#!/usr/bin/env bash
# Installs everything the build and the tests need, idempotently:
#   Debian packages (build tools, OpenSSH server, Xvfb, xterm),
#   CPython 3.14 from Debian unstable's binary packages (unpacked, not installed),
#   a free-threaded CPython built from Debian's source package,
#   and the virtual environments .venv/cp314 and .venv/ft with the build and test tools
#   (the project itself is built into them by `make install`),
#   and, when asked for, the documentation site's tools: .venv/docs and Debian's chromium.
# Usage: bootstrap.sh [--demo] [cp314] [ft] [docs]. The names choose the interpreters and
# environments (default: cp314 and ft); --demo leaves out what only the tests use (OpenSSH
# server, Xvfb, xterm); docs alone installs only what `make docs` needs.
# Slow artefacts live under $TARN_CACHE (default ~/.cache/tarn) and survive new clones.
set -euo pipefail

demo=0; envs=()
for a in "$@"; do
  case $a in
    --demo) demo=1 ;;
    cp314|ft|docs) envs+=("$a") ;;
    *) echo "bootstrap.sh: unknown argument '$a' (expected --demo, cp314, ft or docs)" >&2; exit 2 ;;
  esac
done
((${#envs[@]})) || envs=(cp314 ft)
wants() { [[ " ${envs[*]} " == *" $1 "* ]]; }
# The documentation environment runs on the CPython 3.14 interpreter.
needs_cp314() { wants cp314 || wants docs; }

repo=$(cd "$(dirname "$0")/.." && pwd)
cache=${TARN_CACHE:-$HOME/.cache/tarn}
arch=x86_64-linux-gnu
mkdir -p "$cache"
log() { printf '[bootstrap] %s\n' "$*" >&2; }
# shellcheck source=lib.sh
source "$repo/scripts/lib.sh"
sid=$cache/apt-sid

# --- Debian packages from the machine's own suite -------------------------------------------
# python3-venv: the tools environment below is made with Debian's own python3.
debian_packages=(build-essential patchelf xz-utils python3-venv)
# Building the free-threaded interpreter from source.
wants ft && debian_packages+=(
  dpkg-dev
  libssl-dev libffi-dev zlib1g-dev libbz2-dev liblzma-dev libsqlite3-dev libreadline-dev
  libncurses-dev uuid-dev libgdbm-dev libexpat1-dev
)
if ! ((demo)) && { wants cp314 || wants ft; }; then
  debian_packages+=(openssh-server openssh-client sudo xvfb xterm x11-utils)
fi
# The site's browser test: a headless chromium, and a font for its screenshots.
wants docs && debian_packages+=(chromium fonts-dejavu-core)
install_debian_packages "${debian_packages[@]}"

# --- CPython 3.14 (GIL build) from unstable's binary packages ---------------------------------
# The binaries need a newer C library than the machine's, so sid's runtime libraries are
# unpacked beside them and the interpreter is pointed at sid's loader with patchelf.
cp314=$cache/cp314
if needs_cp314 && [[ ! -x $cp314/usr/bin/python3.14 || ! -f $cp314/.done ]]; then
  log "downloading CPython 3.14 packages from unstable"
  unpack_unstable "$cp314" "${cpython314_packages[@]}" python3.14-dev libdb5.3t64
  loader=$cp314/usr/lib/$arch/ld-linux-x86-64.so.2
  [[ -e $loader ]] || loader=$cp314/lib/$arch/ld-linux-x86-64.so.2
  patchelf --set-interpreter "$loader" \
           --force-rpath --set-rpath "$cp314/usr/lib/$arch:$cp314/lib/$arch" \
           "$cp314/usr/bin/python3.14"
  "$cp314/usr/bin/python3.14" -c 'import ssl, ctypes, sqlite3, decimal, termios'
  touch "$cp314/.done"
fi
needs_cp314 && own_pyconfig "$cp314" "$arch"
PY314=$cp314/usr/bin/python3.14

# --- free-threaded CPython built from Debian's source package ---------------------------------
ft=$cache/ft
if wants ft && [[ ! -x $ft/bin/python3t || ! -f $ft/.done ]]; then
  prepare_unstable
  src=$cache/src-ft; rm -rf "$src" "$ft"; mkdir -p "$src"
  # Prefer 3.14's source; unstable serves only 3.13's at present.
  for pkg in python3.14 python3.13; do
    for ver in $(apt_unstable -qq source --print-uris "$pkg" 2>/dev/null >/dev/null; \
                 apt-cache -o Dir::Etc::sourcelist="$sid/sid.sources" -o Dir::Etc::sourceparts=/nonexistent \
                   -o Dir::State::Lists="$sid/lists" showsrc "$pkg" 2>/dev/null | awk '/^Version:/ {print $2}'); do
      if (cd "$src" && apt_unstable -qq source --download-only "$pkg=$ver" >/dev/null 2>&1); then
        log "building free-threaded CPython from $pkg $ver"; break 2
      fi
      rm -f "$src"/*
    done
  done
  orig=$(ls "$src"/*.orig.tar.xz | head -1)
  tar -C "$src" -xJf "$orig"
  cd "$src"/Python-*/
  ./configure --disable-gil --without-ensurepip --prefix="$ft" >"$src/configure.log" 2>&1
  make -j"$(nproc)" >"$src/make.log" 2>&1
  make install >"$src/install.log" 2>&1
  ln -sf "$(ls "$ft"/bin/python3.*t | head -1)" "$ft/bin/python3t"
  "$ft/bin/python3t" -c 'import sys, ssl, ctypes, decimal; assert not sys._is_gil_enabled()'
  cd "$repo"; rm -rf "$src"/Python-*/
  touch "$ft/.done"
fi
PYFT=$ft/bin/python3t

# --- uv, the installer for the foreign interpreters -------------------------------------------
tools=$cache/tools
if [[ ! -x $tools/bin/uv ]]; then
  log "installing uv"
  /usr/bin/python3 -m venv "$tools"
  "$tools/bin/pip" install -q uv
fi
UV=$tools/bin/uv
export UV_CACHE_DIR=$cache/uv

# --- virtual environments ----------------------------------------------------------------------
make_venv() {  # name interpreter packages...
  local name=$1 py=$2; shift 2
  local venv=$repo/.venv/$name${TARN_VENV_TAG:-}
  if [[ ! -x $venv/bin/python ]]; then
    log "creating .venv/$name${TARN_VENV_TAG:-}"
    "$UV" venv -q --python "$py" "$venv"
  fi
  "$UV" pip install -q --only-binary :all: --python "$venv/bin/python" "$@"
}
# mypy checks the modules against their stubs (tests/test_loading.py); mypy --strict and
# basedpyright (which brings its own Node runtime) check the Python layer and the examples;
# types-paramiko goes with paramiko. pyvisa, pyvisa-sim and pyvisa-py are the example SCPI
# drivers' packages (the `examples` extra of pyproject.toml); pyvisa-py also carries the driver
# tests to the SCPI instrument on loopback (tests/scpi_instrument.py).
common=(numpy pytest hypothesis mypy basedpyright scikit-build-core cmake ninja)
examples=(pyvisa pyvisa-sim pyvisa-py)
ready=()
if wants cp314; then
  make_venv cp314 "$PY314" "${common[@]}" paramiko types-paramiko "${examples[@]}"
  ready+=(".venv/cp314 ($("$PY314" -V))")
fi
if wants ft; then
  # paramiko's compiled dependencies publish free-threaded wheels only for 3.14t, and PyYAML (for
  # pyvisa-sim) none for 3.13t: there it alone is built from source.
  if "$PYFT" -c 'import sys; sys.exit(sys.version_info[:2] < (3, 14))'; then
    make_venv ft "$PYFT" "${common[@]}" paramiko types-paramiko "${examples[@]}"
  else
    make_venv ft "$PYFT" "${common[@]}" --no-binary pyyaml "${examples[@]}"
  fi
  ready+=(".venv/ft ($("$PYFT" -VV | head -1))")
fi
if wants docs; then
  make_venv docs "$PY314" -r "$repo/docs/requirements.txt"
  ready+=(".venv/docs (Sphinx $("$repo/.venv/docs${TARN_VENV_TAG:-}/bin/python" -c 'import sphinx; print(sphinx.__version__)'))")
fi
log "ready: ${ready[*]}"
