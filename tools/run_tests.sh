#!/usr/bin/env bash
# Runs every test of the project:
#   - the layer check: no include runs against the link order of the layers;
#   - the C++ unit tests, plain and under AddressSanitizer +
#     UndefinedBehaviorSanitizer, and the concurrency tests under
#     ThreadSanitizer;
#   - the manylinux wheels of every CPython 3.11-3.13 on the machine and of a
#     free-threaded 3.13 (tools/free_threaded_python.sh builds it once into a
#     cache folder), each repaired, installed into a fresh environment and
#     run on the example (tools/build_wheels.sh);
#   - per interpreter, with exactly that wheel installed: the stub check and
#     the pytest suite; on the free-threaded interpreter the suite runs with
#     -X gil=0 (and fails if the GIL is ever enabled), then the threads
#     stress test for QUORVEL_STRESS_SECONDS (default 30).
# Installs what it needs, stops at the first failure and prints the time of
# every step at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 2)
stress_seconds=${QUORVEL_STRESS_SECONDS:-30}
wheels="$root/build/dist"

timings=()
total_start=$SECONDS
run_step() {  # title, command...
  local title=$1 start=$SECONDS
  shift
  printf '\n==> %s\n' "$title"
  "$@"
  timings+=("$(printf '%6d s  %s' $((SECONDS - start)) "$title")")
}
report_times() {
  local status=$?
  printf '\n==> step times\n'
  local line
  for line in "${timings[@]}"; do printf '%s\n' "$line"; done
  printf '%6d s  total (%s)\n' $((SECONDS - total_start)) "$([ "$status" = 0 ] && echo passed || echo FAILED)"
}
trap report_times EXIT

apt_install() {  # packages...
  local apt_get=apt-get
  [ "$(id -u)" = 0 ] || apt_get="sudo apt-get"
  $apt_get update -qq
  DEBIAN_FRONTEND=noninteractive $apt_get install -y -qq "$@" >/dev/null
}

install_tools() {
  if [ ! -f /usr/src/googletest/CMakeLists.txt ] && ! ls /usr/lib/*/cmake/GTest/GTestConfig.cmake >/dev/null 2>&1; then
    echo "installing GoogleTest"
    apt_install libgtest-dev
  fi
  if ! command -v dot >/dev/null; then
    # Graphviz reads the DOT text in the inspection tests.
    echo "installing Graphviz"
    apt_install graphviz
  fi
  if ! command -v cmake >/dev/null || ! command -v ninja >/dev/null; then
    echo "installing cmake and ninja"
    python3 -m pip install -q cmake ninja
  fi
}

# --- C++ tests -----------------------------------------------------------------
cpp_build() {  # name, extra cmake args...
  local dir="build/$1"
  shift
  cmake -S . -B "$dir" -G Ninja -DQUORVEL_BUILD_PYTHON=OFF -DQUORVEL_BUILD_TESTS=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs" >/dev/null
}

cpp_tests() {
  cpp_build cpp -DCMAKE_BUILD_TYPE=Release
  ctest --test-dir build/cpp --output-on-failure
}

asan_tests() {
  cpp_build asan -DCMAKE_BUILD_TYPE=Debug -DQUORVEL_SANITIZE=address,undefined
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build/asan --output-on-failure
}

tsan_tests() {
  cpp_build tsan -DCMAKE_BUILD_TYPE=Debug -DQUORVEL_SANITIZE=thread
  local t
  for t in build/tsan/tests/cpp/quorvel_*_tests; do
    TSAN_OPTIONS=halt_on_error=1 setarch "$(uname -m)" -R "$t" --gtest_filter='*Concurrency*'
  done
}

# --- interpreters and wheels ---------------------------------------------------
find_python() {  # minor version -> path of a GIL interpreter, or nothing
  local v=$1 candidate
  for candidate in "python$v" "$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")/versions/$v"*/bin/"python$v"; do
    if "$candidate" -c 'import sysconfig; assert not sysconfig.get_config_var("Py_GIL_DISABLED")' >/dev/null 2>&1; then
      command -v "$candidate"
      return
    fi
  done
}

pythons=()
find_interpreters() {
  local v py
  for v in 3.11 3.12 3.13; do
    py=$(find_python "$v" || true)
    if [ -n "$py" ]; then pythons+=("$py"); else echo "CPython $v not found; skipped"; fi
  done
  if [ "${#pythons[@]}" = 0 ]; then echo "no CPython 3.11-3.13 found" >&2; return 1; fi
}

free_threaded=""
free_threaded_python() {
  free_threaded=$(bash tools/free_threaded_python.sh | tail -n 1)
  pythons+=("$free_threaded")
}

build_wheels() {
  QUORVEL_WHEEL_DIR="$wheels" bash tools/build_wheels.sh "${pythons[@]}"
}

# --- Python tests --------------------------------------------------------------
abi_tag() {  # python -> cp311, ..., cp313t
  "$1" -c 'import sys, sysconfig; print(f"cp{sys.version_info[0]}{sys.version_info[1]}" + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))'
}

# Installs the wheel built for this interpreter, with the test tools, into a
# test environment of its own (kept between runs), then runs the stub check
# and pytest with the given interpreter options.
python_tests() {  # python, interpreter options...
  local py=$1 tag venv wheel
  shift
  tag=$(abi_tag "$py")
  venv="build/venv-$tag"
  wheel=$(find "$wheels" -name "quorvel_core-*-$tag-*manylinux*.whl" | head -n 1)
  if [ -z "$wheel" ]; then echo "no wheel for $tag in $wheels" >&2; return 1; fi
  if [ ! -x "$venv/bin/python" ] ||
     [ "$(realpath "$("$venv/bin/python" -c 'import sys; print(sys._base_executable)')")" != "$(realpath "$py")" ]; then
    rm -rf "$venv"
    "$py" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
  fi
  # Test tools come from wheels where one exists for this interpreter; the
  # few without a free-threaded wheel (msgpack, PyYAML, tornado) build with
  # gcc. mypy and its helpers are taken from wheels only: their newest
  # releases need a Rust toolchain to build, so pip picks a release that has
  # a wheel. The module is the wheel itself, reinstalled every run.
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --prefer-binary \
    --only-binary=mypy,ast-serialize,librt "$wheel[test]"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-deps --force-reinstall "$wheel"
  (cd "$root/build" && "$root/$venv/bin/python" "$@" -m mypy.stubtest quorvel_core)
  "$venv/bin/python" "$@" -m pytest -q -p no:cacheprovider tests/python
}

stress_test() {  # python
  local venv
  venv="build/venv-$(abi_tag "$1")"
  # Without -X gil=0: the interpreter keeps the GIL off only because the
  # module declares it does not need it, and the stress fails if it is on.
  "$venv/bin/python" tests/stress/threads_stress.py --seconds "$stress_seconds"
}

# First, since it takes a second: an upward include fails the run at once.
run_step "layer check" python3 tools/check_layers.py
run_step "tools" install_tools
run_step "C++ tests" cpp_tests
run_step "C++ tests under AddressSanitizer + UndefinedBehaviorSanitizer" asan_tests
run_step "concurrency tests under ThreadSanitizer" tsan_tests
run_step "interpreters" find_interpreters
run_step "free-threaded CPython 3.13" free_threaded_python
run_step "wheels: build, repair, install, run the example" build_wheels
for py in "${pythons[@]}"; do
  if [ "$py" = "$free_threaded" ]; then
    run_step "Python $(abi_tag "$py"): stub check, pytest -X gil=0" python_tests "$py" -X gil=0
    run_step "Python $(abi_tag "$py"): threads stress test (${stress_seconds} s)" stress_test "$py"
  else
    run_step "Python $(abi_tag "$py"): stub check, pytest" python_tests "$py"
  fi
done
printf '\n==> all tests passed\n'
