#!/usr/bin/env bash
# Runs every test of the project: the layer check (no include runs against
# the link order of the layers), the C++ unit tests (plain, then under
# AddressSanitizer + UndefinedBehaviorSanitizer), the concurrency tests under
# ThreadSanitizer, and for every CPython 3.11-3.13 on the machine the stub
# check and the pytest suite against a freshly installed module. Installs
# what it needs. Exits non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 2)

step() { printf '\n==> %s\n' "$*"; }

# --- layers ------------------------------------------------------------------
# First, since it takes a second: an upward include fails the run at once.
step "layer check"
python3 tools/check_layers.py

# --- tools -------------------------------------------------------------------
if [ ! -f /usr/src/googletest/CMakeLists.txt ] && ! ls /usr/lib/*/cmake/GTest/GTestConfig.cmake >/dev/null 2>&1; then
  step "installing GoogleTest"
  if [ "$(id -u)" = 0 ]; then apt_get="apt-get"; else apt_get="sudo apt-get"; fi
  $apt_get update -qq
  DEBIAN_FRONTEND=noninteractive $apt_get install -y -qq libgtest-dev >/dev/null
fi
if ! command -v dot >/dev/null; then
  # Graphviz reads the DOT text in the inspection tests.
  step "installing Graphviz"
  if [ "$(id -u)" = 0 ]; then apt_get="apt-get"; else apt_get="sudo apt-get"; fi
  $apt_get update -qq
  DEBIAN_FRONTEND=noninteractive $apt_get install -y -qq graphviz >/dev/null
fi
base_python=$(command -v python3)
if ! command -v cmake >/dev/null || ! command -v ninja >/dev/null; then
  step "installing cmake and ninja"
  "$base_python" -m pip install -q cmake ninja
fi

# --- C++ tests -----------------------------------------------------------------
cpp_build() {  # name, extra cmake args...
  local dir="build/$1"; shift
  cmake -S . -B "$dir" -G Ninja -DQUORVEL_BUILD_PYTHON=OFF -DQUORVEL_BUILD_TESTS=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs" >/dev/null
}

step "C++ tests"
cpp_build cpp -DCMAKE_BUILD_TYPE=Release
ctest --test-dir build/cpp --output-on-failure

step "C++ tests under AddressSanitizer + UndefinedBehaviorSanitizer"
cpp_build asan -DCMAKE_BUILD_TYPE=Debug -DQUORVEL_SANITIZE=address,undefined
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan --output-on-failure

step "concurrency tests under ThreadSanitizer"
cpp_build tsan -DCMAKE_BUILD_TYPE=Debug -DQUORVEL_SANITIZE=thread
for t in build/tsan/tests/cpp/quorvel_*_tests; do
  TSAN_OPTIONS=halt_on_error=1 setarch "$(uname -m)" -R "$t" --gtest_filter='*Concurrency*'
done

# --- Python tests --------------------------------------------------------------
find_python() {  # minor version -> path of an interpreter, or nothing
  local v=$1 candidate
  for candidate in "python$v" "$(pyenv root 2>/dev/null)/versions/$v"*/bin/"python$v"; do
    if "$candidate" -c 'import sys' >/dev/null 2>&1; then command -v "$candidate"; return; fi
  done
}

found=0
for v in 3.11 3.12 3.13; do
  py=$(find_python "$v" || true)
  if [ -z "$py" ]; then echo "CPython $v not found; skipped"; continue; fi
  found=$((found + 1))
  step "Python $v: install, stub check, pytest"
  venv="build/venv-$v"
  [ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip >/dev/null
  "$venv/bin/python" -m pip install -q ".[test]"
  (cd "$root/build" && "$root/$venv/bin/python" -m mypy.stubtest quorvel_core)
  "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python
done
if [ "$found" = 0 ]; then echo "no CPython 3.11-3.13 found" >&2; exit 1; fi
step "all tests passed"
