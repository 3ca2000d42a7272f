#!/usr/bin/env bash
# Provides a free-threaded CPython 3.13 (built with --disable-gil) and prints
# the path of its interpreter as the last line of standard output; progress
# goes to standard error.
#
# The sources come from Debian's python3.13 source package of Debian 13
# "trixie": `apt-get source --download-only` runs against a private apt
# configuration in a scratch folder (its own sources.list with one deb-src
# entry, its own lists, cache and state), so the machine's apt sources and
# package lists stay as they are. The upstream tarball inside the package
# (the .orig.tar.*) is built without PGO or LTO and without running the test
# suite, and installed into a cache folder outside the checkout:
#
#   ${QUORVEL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quorvel}/python3.13t
#
# A later run finds the interpreter there and builds nothing. Build
# dependencies that are missing (compiler, OpenSSL, zlib, libffi, bzip2,
# xz, SQLite, readline, ...) are installed with apt-get.
#
# Usage: bash tools/free_threaded_python.sh [--rebuild]
set -euo pipefail

cache=${QUORVEL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quorvel}
prefix="$cache/python3.13t"
python="$prefix/bin/python3.13t"
stamp="$prefix/.complete"
suite=trixie
package=python3.13

log() { printf '%s\n' "$*" >&2; }

# The interpreter is usable when it runs, is free-threaded and has the modules
# that pip, venv and the test tools import.
works() {
  [ -x "$python" ] && "$python" - <<'EOF' >/dev/null 2>&1
import sys, sysconfig
assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1
assert not sys._is_gil_enabled()
import bz2, ctypes, hashlib, lzma, sqlite3, ssl, venv, zlib
EOF
}
usable() { [ -f "$stamp" ] && works; }

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

install_build_deps() {
  local wanted=(build-essential pkg-config xz-utils debian-archive-keyring libssl-dev zlib1g-dev
                libffi-dev libbz2-dev liblzma-dev libsqlite3-dev libreadline-dev libncurses-dev uuid-dev)
  local missing=() p
  for p in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if [ "${#missing[@]}" -gt 0 ]; then
    log "installing build dependencies: ${missing[*]}"
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
}

# Downloads the source package into $1 through a private apt configuration
# (kept there, so that a rebuild downloads nothing).
fetch_sources() {
  local dest=$1 apt="$1/apt"
  if find "$dest" -maxdepth 1 -name "${package}_*.orig.tar.xz" 2>/dev/null | grep -q .; then return; fi
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/state" "$apt/sources.list.d" "$apt/preferences.d"
  local keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  printf 'deb-src [signed-by=%s] http://deb.debian.org/debian %s main\n' "$keyring" "$suite" >"$apt/sources.list"
  : >"$apt/status"
  local opts=(
    -o "Dir::Etc::SourceList=$apt/sources.list"
    -o "Dir::Etc::SourceParts=$apt/sources.list.d"
    -o "Dir::Etc::PreferencesParts=$apt/preferences.d"
    -o "Dir::State=$apt/state"
    -o "Dir::State::Lists=$apt/lists"
    -o "Dir::State::status=$apt/status"
    -o "Dir::Cache=$apt/cache"
    -o "APT::Sandbox::User=root"
  )
  log "fetching the $package source package of Debian $suite (private apt configuration in $apt)"
  apt-get "${opts[@]}" update -qq >&2
  (cd "$dest" && apt-get "${opts[@]}" source --download-only -qq "$package" >&2)
}

build() {
  local work="$cache/build-python3.13t" sources="$cache/sources-$package"
  rm -rf "$work" "$prefix"
  mkdir -p "$work" "$sources"
  fetch_sources "$sources"
  local tarball
  tarball=$(find "$sources" -maxdepth 1 -name "${package}_*.orig.tar.xz" | sort | tail -n 1)
  if [ -z "$tarball" ]; then log "no upstream tarball in the $package source package"; exit 1; fi
  log "building $(basename "$tarball") with --disable-gil into $prefix"
  mkdir -p "$work/src"
  tar -xf "$tarball" -C "$work/src" --strip-components=1
  local start=$SECONDS jobs
  jobs=$(nproc 2>/dev/null || echo 2)
  (
    cd "$work/src"
    ./configure --prefix="$prefix" --disable-gil --with-ensurepip=install --disable-test-modules \
      --without-static-libpython >"$work/configure.log" 2>&1 || { tail -n 40 "$work/configure.log" >&2; exit 1; }
    make -j"$jobs" >"$work/make.log" 2>&1 || { tail -n 60 "$work/make.log" >&2; exit 1; }
    make install >"$work/install.log" 2>&1 || { tail -n 40 "$work/install.log" >&2; exit 1; }
  )
  rm -rf "$work"
  if ! works; then log "the built interpreter lacks a required module"; exit 1; fi
  date -u +%Y-%m-%dT%H:%M:%SZ >"$stamp"
  log "built in $((SECONDS - start)) s"
}

rebuild=0
[ "${1:-}" = "--rebuild" ] && rebuild=1

mkdir -p "$cache"
exec 9>"$cache/.python3.13t.lock"
flock 9
if [ "$rebuild" = 1 ] || ! usable; then
  install_build_deps
  build
else
  log "free-threaded CPython found in $prefix"
fi
# pip comes from the wheel bundled with the interpreter's sources.
"$python" -m pip --version >/dev/null 2>&1 || "$python" -m ensurepip --default-pip >&2
log "free-threaded CPython: $("$python" -VV)"
printf '%s\n' "$python"
