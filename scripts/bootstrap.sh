#!/usr/bin/env bash
# Installs everything the build and the tests need, idempotently:
#   Debian packages (build tools, OpenSSH server, Xvfb, xterm),
#   CPython 3.14 from Debian unstable's binary packages (unpacked, not installed),
#   a free-threaded CPython built from source (Debian's 3.14, CPython's own 3.14 tarball named
#   by TARN_CPYTHON_SOURCE, or Debian's 3.13, in that order),
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
# unpacked beside them and the interpreter is pointed at sid's loader with patchelf. Every
# cached artefact is made under its lock (scripts/lib.sh) in a folder of its own, and renamed
# into place when it is complete: a bootstrap that runs at the same time waits for it.
cp314=$cache/cp314
build_cp314() {
  [[ -x $cp314/usr/bin/python3.14 && -f $cp314/.done ]] && return
  log "downloading CPython 3.14 packages from unstable"
  local tmp=$cp314.tmp.$$
  unpack_unstable "$tmp" "${cpython314_packages[@]}" python3.14-dev libdb5.3t64
  # The loader and the libraries are named by their final place.
  local loader=$cp314/usr/lib/$arch/ld-linux-x86-64.so.2
  [[ -e $tmp/usr/lib/$arch/ld-linux-x86-64.so.2 ]] || loader=$cp314/lib/$arch/ld-linux-x86-64.so.2
  patchelf --set-interpreter "$loader" \
           --force-rpath --set-rpath "$cp314/usr/lib/$arch:$cp314/lib/$arch" \
           "$tmp/usr/bin/python3.14"
  own_pyconfig "$tmp" "$arch"
  touch "$tmp/.done"
  rm -rf "$cp314"; mv "$tmp" "$cp314"
  "$cp314/usr/bin/python3.14" -c 'import ssl, ctypes, sqlite3, decimal, termios'
}
needs_cp314 && locked cp314 build_cp314
PY314=$cp314/usr/bin/python3.14

# --- a free-threaded CPython built from source ------------------------------------------------
# The source, in order of preference: Debian's 3.14 source package when unstable serves one;
# else CPython's own 3.14 source tarball named by TARN_CPYTHON_SOURCE (the Makefile and CI point
# it at a shared copy when there is one); else Debian's 3.13 source package. The interpreter's
# version is written in .done, and a cached 3.13 is rebuilt once a 3.14 source is at hand.
ft=$cache/ft
ft_source_tarball=${TARN_CPYTHON_SOURCE:-}
[[ -n $ft_source_tarball && ! -f $ft_source_tarball ]] && ft_source_tarball=
ft_current() {
  [[ -x $ft/bin/python3t && -f $ft/.done ]] || return 1
  # A 3.13 build stands until a 3.14 source is at hand.
  [[ $(cat "$ft/.done") == 3.14* || -z $ft_source_tarball ]]
}
build_ft() {
  ft_current && return
  local src=$cache/src-ft.$$ stage=$cache/ft.tmp.$$ orig="" pkg ver
  rm -rf "$src" "$stage"; mkdir -p "$src"
  # Debian's source packages first (3.14, then 3.13 unless the tarball stands in for it).
  prepare_unstable
  local packages=(python3.14)
  [[ -z $ft_source_tarball ]] && packages+=(python3.13)
  for pkg in "${packages[@]}"; do
    for ver in $(apt-cache -o Dir::Etc::sourcelist="$sid/sid.sources" -o Dir::Etc::sourceparts=/nonexistent \
                   -o Dir::State::Lists="$sid/lists" showsrc "$pkg" 2>/dev/null | awk '/^Version:/ {print $2}'); do
      if (cd "$src" && apt_unstable -qq source --download-only "$pkg=$ver" >/dev/null 2>&1); then
        orig=$(ls "$src"/*.orig.tar.xz | head -1)
        log "building free-threaded CPython from Debian's $pkg $ver"; break 2
      fi
      rm -f "$src"/*
    done
  done
  if [[ -z $orig ]]; then
    orig=$ft_source_tarball
    log "building free-threaded CPython from $orig"
  fi
  tar -C "$src" -xJf "$orig"
  (
    cd "$src"/Python-*/
    ./configure --disable-gil --without-ensurepip --prefix="$ft" >"$src/configure.log" 2>&1
    make -j"$(nproc)" >"$src/make.log" 2>&1
    # Installed under a staging root with its final prefix, then moved into place whole.
    make install DESTDIR="$stage" >"$src/install.log" 2>&1
  ) || { log "the build failed; its logs are in $src"; return 1; }
  local built=$stage$ft
  ln -sf "$(basename "$(ls "$built"/bin/python3.*t | head -1)")" "$built/bin/python3t"
  rm -rf "$ft"; mv "$built" "$ft"; rm -rf "$stage" "$src"
  "$ft/bin/python3t" -c 'import sys, ssl, ctypes, decimal; assert not sys._is_gil_enabled()'
  "$ft/bin/python3t" -c 'import platform; print(platform.python_version())' >"$ft/.done"
}
wants ft && locked ft build_ft
PYFT=$ft/bin/python3t

# --- uv, the installer for the foreign interpreters -------------------------------------------
tools=$cache/tools
install_uv() {
  [[ -x $tools/bin/uv ]] && return
  log "installing uv"
  /usr/bin/python3 -m venv "$tools"
  "$tools/bin/pip" install -q uv
}
locked tools install_uv
UV=$tools/bin/uv
export UV_CACHE_DIR=$cache/uv

# --- virtual environments ----------------------------------------------------------------------
make_venv() {  # name interpreter packages...
  local name=$1 py=$2; shift 2
  local venv=$repo/.venv/$name${TARN_VENV_TAG:-}
  # An environment whose interpreter is gone (the cached one was replaced) is made anew.
  if ! "$venv/bin/python" -c '' 2>/dev/null; then
    log "creating .venv/$name${TARN_VENV_TAG:-}"
    rm -rf "$venv"
    "$UV" venv -q --python "$py" "$venv"
  fi
  "$UV" pip install -q --only-binary :all: --python "$venv/bin/python" "$@"
}
# mypy checks the modules against their stubs (tests/test_loading.py); mypy --strict and
# basedpyright (which brings its own Node runtime) check the Python layer and the examples;
# types-paramiko goes with paramiko. pyvisa, pyvisa-sim and pyvisa-py are the example SCPI
# drivers' packages (the `examples` extra of pyproject.toml); pyvisa-py also carries the driver
# tests to the SCPI instrument on loopback (tests/scpi_instrument.py). p4p serves drivers over EPICS
# PV Access (the `serve` extra: tarn.serve and tarn.remote).
common=(numpy pytest hypothesis mypy basedpyright scikit-build-core cmake ninja)
examples=(pyvisa pyvisa-sim pyvisa-py)
serve=(p4p)
ready=()
if wants cp314; then
  make_venv cp314 "$PY314" "${common[@]}" paramiko types-paramiko "${examples[@]}" "${serve[@]}"
  ready+=(".venv/cp314 ($("$PY314" -V))")
fi
if wants ft; then
  # paramiko's compiled dependencies publish free-threaded wheels only for 3.14t, and PyYAML (for
  # pyvisa-sim) none for 3.13t: there it alone is built from source.
  if "$PYFT" -c 'import sys; sys.exit(sys.version_info[:2] < (3, 14))'; then
    make_venv ft "$PYFT" "${common[@]}" paramiko types-paramiko "${examples[@]}" "${serve[@]}"
  else
    make_venv ft "$PYFT" "${common[@]}" --no-binary pyyaml "${examples[@]}" "${serve[@]}"
  fi
  ready+=(".venv/ft ($("$PYFT" -VV | head -1))")
fi
if wants docs; then
  make_venv docs "$PY314" -r "$repo/docs/requirements.txt"
  ready+=(".venv/docs (Sphinx $("$repo/.venv/docs${TARN_VENV_TAG:-}/bin/python" -c 'import sphinx; print(sphinx.__version__)'))")
fi
log "ready: ${ready[*]}"
