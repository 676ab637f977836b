#!/usr/bin/env bash
# Compiles the C++ sources for the platforms this machine cannot run (Windows, and macOS on Intel
# and on Apple silicon) with zig's clang, warnings as errors, for the GIL and the free-threaded
# build. CMakeLists.txt is configured for each target (scripts/platforms/zig.cmake), so the files,
# flags and definitions are those a build there would use (instruction-set files only for their
# architecture, with their flags); every compile command it gives is then run on its own.
# CPython 3.14's headers are used with a small pyconfig.h per platform
# (scripts/platforms/<target>/pyconfig.h). Prints one line per source file, target and build
# (ok, FAIL with the first errors, or skip for a file that target does not build), then a
# summary; exits non-zero if anything failed.
#
# Environment: TARN_CACHE (default ~/.cache/tarn), TARGETS (default: the three below), JOBS
# (parallel compiles, default 2).
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
cache=${TARN_CACHE:-$HOME/.cache/tarn}
targets=(${TARGETS:-x86_64-windows-gnu x86_64-macos aarch64-macos})
builds=(gil ft)
jobs=${JOBS:-2}
work=$repo/build/platforms
host=$repo/.venv/cp314${TARN_VENV_TAG:-}/bin
py=$cache/cp314/usr/bin/python3.14
log() { printf '[check-platforms] %s\n' "$*" >&2; }

[[ -x $host/cmake && -x $py ]] || bash "$repo/scripts/bootstrap.sh"

# --- zig's C++ compiler, from the ziglang wheel (cached) ---------------------------------------
zig=$cache/zig/ziglang/zig
if [[ ! -x $zig ]]; then
  log "installing ziglang"
  UV_CACHE_DIR=$cache/uv "$cache/tools/bin/uv" pip install -q --target "$cache/zig" \
      --python "$py" --only-binary :all: ziglang
fi
export ZIG_GLOBAL_CACHE_DIR=$cache/zig-cache ZIG_LOCAL_CACHE_DIR=$work/zig-cache

# --- per target: CPython's headers with its pyconfig.h, a compiler wrapper, the configure ------
# Python.h includes "pyconfig.h" from its own folder first, so each target gets a copy of the
# header folder with its own pyconfig.h in it.
configure() {  # target build
  local t=$1 build=$2 dir=$work/$1/$2 defines=()
  [[ $build == ft ]] && defines+=(-DCMAKE_CXX_FLAGS=-DPy_GIL_DISABLED=1)
  [[ $t == *windows* ]] && defines+=(-DPython_LIBRARY="$work/$t/python314.lib")
  "$host/cmake" -S "$repo" -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$host/ninja" \
      -DCMAKE_TOOLCHAIN_FILE="$repo/scripts/platforms/zig.cmake" \
      -DTARN_ZIG_TARGET="$t" -DTARN_ZIG_CXX="$work/$t/zig-c++" \
      -DCMAKE_BUILD_TYPE=Release -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
      -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DPython_EXECUTABLE="$py" \
      -DPython_INCLUDE_DIR="$work/$t/include/python3.14" "${defines[@]}" >"$dir.configure.log" 2>&1
}

mkdir -p "$work"
commands=$work/commands
: >"$commands"
configure_failed=()
for t in "${targets[@]}"; do
  [[ -f $repo/scripts/platforms/$t/pyconfig.h ]] || { log "no pyconfig.h for $t"; exit 2; }
  rm -rf "$work/$t/include"; mkdir -p "$work/$t/include"
  cp -r "$cache/cp314/usr/include/python3.14" "$work/$t/include/python3.14"
  cp "$repo/scripts/platforms/$t/pyconfig.h" "$work/$t/include/python3.14/pyconfig.h"
  # An import library is asked for on Windows; nothing is linked, so an empty file stands for it.
  [[ $t == *windows* ]] && : >"$work/$t/python314.lib"
  printf '#!/bin/sh\nexec "%s" c++ -target %s "$@"\n' "$zig" "$t" >"$work/$t/zig-c++"
  chmod +x "$work/$t/zig-c++"
  for b in "${builds[@]}"; do
    if configure "$t" "$b"; then
      # One "target build directory file command" record per compile, NUL-separated.
      "$py" - "$work/$t/$b/compile_commands.json" "$t" "$b" "$repo" >>"$commands" <<'PY'
import json, os, sys
path, target, build, repo = sys.argv[1:]
for entry in json.load(open(path)):
    f = os.path.relpath(entry["file"], repo)
    sys.stdout.write("\0".join([target, build, entry["directory"], f, entry["command"]]) + "\0")
PY
    else
      configure_failed+=("$t $b")
      echo "FAIL $t $b configure: see $work/$t/$b.configure.log"
      grep -m 5 -i 'error' "$work/$t/$b.configure.log" | sed 's/^/       /' || true
    fi
  done
done

# --- the compiles ---------------------------------------------------------------------------
compile_one() {  # target build directory file command
  local t=$1 build=$2 dir=$3 f=$4 command=$5 out status=ok diagnostics=
  out=$work/$t/$build/${f//\//_}.log
  (cd "$dir" && eval "$command") >"$out" 2>&1 || status=FAIL
  if [[ $status == FAIL ]]; then
    diagnostics=$(grep -m 5 'error' "$out" || head -n 5 "$out")
    diagnostics=$'\n'$(sed 's/^/       /' <<<"$diagnostics")
  fi
  # One write per compile, so that parallel compiles do not interleave their lines.
  printf '%-4s %s %s %s%s\n' "$status" "$t" "$build" "$f" "$diagnostics"
}
export -f compile_one
export work

log "compiling for ${targets[*]} (GIL and free-threaded builds) with zig $("$zig" version)"
results=$work/results.txt
xargs -0 -n 5 -P "$jobs" bash -c 'compile_one "$@"' _ <"$commands" | tee "$results"

# Sources a target does not build (another architecture's instruction sets).
cd "$repo"
for t in "${targets[@]}"; do
  for b in "${builds[@]}"; do
    [[ " ${configure_failed[*]} " == *" $t $b "* ]] && continue
    for f in $(find src/native -name '*.cpp' | sort); do
      grep -q " $t $b $f$" "$results" || echo "skip $t $b $f (not built for this target)"
    done
  done
done | tee -a "$results"

ok=$(grep -c '^ok ' "$results" || true)
failed=$(grep -c '^FAIL ' "$results" || true)
skipped=$(grep -c '^skip ' "$results" || true)
echo "check-platforms: $ok compiled, $failed failed, $skipped skipped; ${#configure_failed[@]} configure failures"
if ((failed || ${#configure_failed[@]})); then
  for c in "${configure_failed[@]}"; do echo "  configure $c"; done
  grep '^FAIL ' "$results" | sed 's/^FAIL /  /'
  exit 1
fi
