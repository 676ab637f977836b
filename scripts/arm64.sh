#!/usr/bin/env bash
# Linux arm64 under emulation: cross-compiles the extension modules with Debian's aarch64 GCC and
# runs the test suite with Debian unstable's arm64 CPython 3.14 under qemu-user.
#
#   scripts/arm64.sh bootstrap   the cross compiler, qemu, the arm64 interpreter and its packages
#   scripts/arm64.sh build       bootstrap, then cross-compile the modules into build/arm64/stage
#   scripts/arm64.sh test [ARGS] build, then run pytest under emulation (ARGS go to pytest)
#
# Environment: TARN_CACHE (default ~/.cache/tarn), MODULES (default "plinth;ssh;terminal").
# Everything slow is cached under $TARN_CACHE/arm64 and reused; the build is incremental.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
cache=${TARN_CACHE:-$HOME/.cache/tarn}
arm=$cache/arm64
root=$arm/root              # the arm64 interpreter's files, unpacked from unstable's packages
site=$arm/site              # arm64 wheels of the test dependencies (pip --target layout)
build=$repo/build/arm64
stage=$build/stage          # the tarn package with the cross-compiled modules
modules=${MODULES:-plinth;ssh;terminal}
log() { printf '[arm64] %s\n' "$*" >&2; }
# shellcheck source=lib.sh
source "$repo/scripts/lib.sh"
sid=$arm/apt                # the private apt configuration for unstable's arm64 packages
sid_arch=arm64

# --- CPython 3.14 for arm64 ---------------------------------------------------------------------
# Unpacked, not installed. qemu's -L makes the unpacked tree the root for every absolute path the
# emulated programs open, so the interpreter finds its loader, libraries and standard library.
interpreter() {
  write_launcher
  [[ -f $root/.done ]] && return
  log "downloading arm64 CPython 3.14 packages from unstable"
  unpack_unstable "$root" "${cpython314_packages[@]}"
  # Merged /usr: the programs ask for /lib/ld-linux-aarch64.so.1 and /bin/... .
  [[ -e $root/lib ]] || ln -s usr/lib "$root/lib"
  [[ -e $root/bin ]] || ln -s usr/bin "$root/bin"
  own_pyconfig "$root" aarch64-linux-gnu
  "$arm/python3.14" -c 'import ssl, ctypes, decimal, sqlite3, platform
assert platform.machine() == "aarch64"'
  touch "$root/.done"
}

# The emulated interpreter as a host program. It passes its own path as the interpreter's
# argv[0], so sys.executable names this launcher and the tests' child interpreters run emulated
# too (the kernel runs the script natively; no binfmt registration is needed).
write_launcher() {
  mkdir -p "$arm"
  cat >"$arm/python3.14.new" <<SH
#!/bin/sh
exec qemu-aarch64-static -L "$root" -0 "\$0" "$root/usr/bin/python3.14" "\$@"
SH
  chmod +x "$arm/python3.14.new"
  mv -f "$arm/python3.14.new" "$arm/python3.14"  # atomic: runs in progress keep working
}

# --- the test dependencies as arm64 wheels (pyvisa, pyvisa-sim and pyvisa-py for the example
# drivers, p4p for serving them), installed without running the foreign interpreter
wheels=(numpy paramiko pytest hypothesis pyvisa pyvisa-sim pyvisa-py p4p)
packages() {
  [[ -f $site/.done && $(cat "$site/.done") == "${wheels[*]}" ]] && return
  log "installing arm64 wheels: ${wheels[*]}"
  rm -rf "$site"
  UV_CACHE_DIR=$cache/uv "$cache/tools/bin/uv" pip install -q --target "$site" \
      --python "$cache/cp314/usr/bin/python3.14" --python-platform aarch64-manylinux_2_28 \
      --python-version 3.14 --only-binary :all: "${wheels[@]}"
  echo "${wheels[*]}" >"$site/.done"
}

bootstrap() {
  [[ -x $cache/tools/bin/uv && -x $cache/cp314/usr/bin/python3.14 ]] || bash "$repo/scripts/bootstrap.sh"
  install_debian_packages qemu-user-static g++-aarch64-linux-gnu
  interpreter
  packages
}

# --- the cross build: the project's own CMakeLists.txt with an aarch64 toolchain ----------------
cross_build() {
  local host=$repo/.venv/cp314${TARN_VENV_TAG:-}/bin
  [[ -x $host/cmake ]] || bash "$repo/scripts/bootstrap.sh"
  log "cross-compiling ($modules)"
  "$host/cmake" -S "$repo" -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$host/ninja" \
      -DCMAKE_TOOLCHAIN_FILE="$repo/scripts/platforms/aarch64-linux-gnu.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DTARN_MODULES="$modules" \
      -DCMAKE_POLICY_DEFAULT_CMP0190=NEW -DTARN_ARM64_ROOT="$root" \
      -DPython_EXECUTABLE="$root/usr/bin/python3.14" -DPython_INCLUDE_DIR="$root/usr/include/python3.14" \
      >/dev/null
  "$host/cmake" --build "$build"
  rm -rf "$stage"; mkdir -p "$stage"
  cp -r "$repo/src/tarn" "$stage/tarn"
  "$host/cmake" --install "$build" --prefix "$stage" >/dev/null
}

# --- the suite under emulation ------------------------------------------------------------------
# The slow groups (hostile search, leak and stress tests, benchmarks) run natively only, and
# property-based tests run fewer examples (scripts/platforms/emulated.py).
run_tests() {
  local deselect=() f
  for f in test_hostile.py test_leaks.py test_stress.py test_bench.py test_plinth_bench.py \
           test_ssh_bench.py; do
    [[ -e $repo/tests/$f ]] && deselect+=(--ignore="tests/$f")
  done
  # A leak check by repetition: five minutes under emulation.
  deselect+=(--deselect tests/test_plinth_process.py::test_no_reference_leaks_over_100000_calls)
  cd "$repo"
  # Bytecode is cached outside the tree (importing numpy and paramiko compiled from source under
  # emulation takes over a minute; from cached bytecode, seconds).
  env -u PYTHONDONTWRITEBYTECODE PYTHONPYCACHEPREFIX="$arm/pycache" \
      PYTHONPATH="$stage:$site:$repo/scripts/platforms" \
      timeout -k 30 2400 "$arm/python3.14" -m pytest -p no:cacheprovider -p emulated \
      -m "not slow" "${deselect[@]}" "$@"
}

case ${1:-test} in
  bootstrap) bootstrap ;;
  build) bootstrap; cross_build ;;
  test) shift || true; bootstrap; cross_build; run_tests "$@" ;;
  *) echo "usage: $0 [bootstrap|build|test [pytest arguments]]" >&2; exit 2 ;;
esac
