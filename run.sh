#!/usr/bin/env bash
# Sets everything up from a fresh clone and runs one job:
#   ./run.sh demo    the main job: build and install the module and its kit, run the demo
#   ./run.sh test    build the module for the oldest and the newest interpreter and test both
#   ./run.sh sanitize  the tests against an AddressSanitizer and UndefinedBehaviorSanitizer build
#   ./run.sh bench [--quick]  the benchmark; results and plot in bench/results/
#   ./run.sh build   only set up and build (both interpreters)
#   ./run.sh fuzz [SECONDS]  fuzz the reader's core with libFuzzer and ASan/UBSan (default 60 s)
# Interpreters come from pyenv; packages from PyPI (and Debian for the build tools).
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$(pwd)

PYENV_ROOT=${PYENV_ROOT:-$HOME/.pyenv}
# the interpreters the test job covers: oldest and newest (more with PYTHONS="3.9 3.11 ...")
PYTHONS=${PYTHONS:-"3.6 3.13"}
MAIN_PY=3.13

log() { printf '\n== %s\n' "$*" >&2; }

system_packages() {
  local missing=()
  command -v g++ >/dev/null || missing+=(g++)
  [ -f /usr/include/openssl/evp.h ] || missing+=(libssl-dev)
  if [ ${#missing[@]} -gt 0 ]; then
    log "installing ${missing[*]}"
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
}

fuzz_packages() {  # clang with libFuzzer and the sanitizer runtimes: the fuzz job only
  local missing=()
  command -v clang++-14 >/dev/null || missing+=(clang-14)
  compgen -G '/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a' >/dev/null ||
    missing+=(libclang-rt-14-dev)
  if [ ${#missing[@]} -gt 0 ]; then
    log "installing ${missing[*]}"
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
}

interpreter() {  # newest pyenv patch release of a minor version
  local v
  v=$(ls -d "$PYENV_ROOT"/versions/"$1".* 2>/dev/null | sort -V | tail -n 1)
  [ -n "$v" ] && [ -x "$v/bin/python" ] || { echo "no CPython $1 under $PYENV_ROOT" >&2; exit 1; }
  echo "$v/bin/python"
}

venv() {  # venv for minor version $1 with requirements/py$1.txt; prints its python
  local minor=$1 dir=$ROOT/.venv/py$1 py stamp
  py=$(interpreter "$minor")
  stamp=$dir/.requirements
  if [ ! -x "$dir/bin/python" ]; then
    log "creating venv for Python $minor"
    "$py" -m venv "$dir"
  fi
  if ! cmp -s "$ROOT/requirements/py$minor.txt" "$stamp"; then
    log "installing requirements for Python $minor"
    case $minor in 3.6) "$dir/bin/python" -m pip install -q "pip==21.3.1" ;; esac
    "$dir/bin/python" -m pip install -q -r "$ROOT/requirements/py$minor.txt" >&2
    cp "$ROOT/requirements/py$minor.txt" "$stamp"
  fi
  echo "$dir/bin/python"
}

tools() {  # cmake and ninja from the main venv
  local py
  py=$(venv $MAIN_PY)
  "$py" -m pip install -q "cmake>=3.18" ninja >&2
  echo "$(dirname "$py")"
}

build() {  # build the module for minor version $1; prints the module's path
  local minor=$1 py bin dir
  py=$(venv "$minor")
  bin=$(tools)
  dir=$ROOT/build/py$minor
  log "building for Python $minor"
  "$bin/cmake" -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$bin/ninja" \
    -DPython_EXECUTABLE="$py" -DCOMPETITION_TESTS="${2:-OFF}" ${CMAKE_ARGS:-} >/dev/null
  "$bin/cmake" --build "$dir" >&2
  ls "$dir"/competition*.so
}

run_tests() {
  system_packages
  local status=0 minor py module first=yes
  for minor in $PYTHONS; do
    module=$(build "$minor" ON)
    if [ $first = yes ]; then
      log "native core tests"
      "$ROOT/build/py$minor/tests/native/core_tests" || status=1
    fi
    first=no
    py=$(venv "$minor")
    log "tests on Python $minor ($("$py" -c 'import pandas; print("pandas", pandas.__version__)'))"
    COMPETITION_MODULE=$module COMPETITION_PROBE_DIR="$ROOT/build/py$minor/tests/native" \
      "$py" -m pytest -q -p no:cacheprovider "$ROOT/tests" || status=1
  done
  return $status
}

run_sanitized() {  # the whole suite against an ASan+UBSan build, on the main interpreter
  system_packages
  local py bin dir module asan
  py=$(venv $MAIN_PY)
  bin=$(tools)
  dir=$ROOT/build/sanitize-py$MAIN_PY
  log "building with AddressSanitizer and UndefinedBehaviorSanitizer"
  "$bin/cmake" -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$bin/ninja" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython_EXECUTABLE="$py" -DCOMPETITION_TESTS=ON -DCOMPETITION_SANITIZE=ON >/dev/null
  "$bin/cmake" --build "$dir" >&2
  module=$(ls "$dir"/competition*.so)
  asan=$(g++ -print-file-name=libasan.so)
  log "native core tests (sanitized)"
  "$dir/tests/native/core_tests"
  log "tests on Python $MAIN_PY (sanitized)"
  # the interpreter itself is not instrumented: its own allocations at exit are not ours to report
  LD_PRELOAD="$asan" ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    COMPETITION_MODULE=$module COMPETITION_PROBE_DIR="$dir/tests/native" COMPETITION_LEAK_ENVS=200 COMPETITION_SANITIZED=1 \
    "$py" -m pytest -q -p no:cacheprovider "$ROOT/tests"
}

run_bench() {  # the benchmark on the main interpreter; --quick for the short run
  system_packages
  local py module
  py=$(venv $MAIN_PY)
  "$py" -m pip install -q -r "$ROOT/requirements/bench.txt" >&2
  module=$(build $MAIN_PY)
  COMPETITION_MODULE=$module "$py" "$ROOT/bench/run.py" "$@"
}

run_fuzz() {  # the libFuzzer target over the reader's core for $1 seconds; fails on a crash
  local seconds=${1:-60} py bin dir corpus artifacts
  [[ $seconds =~ ^[0-9]+$ ]] || { echo "usage: $0 fuzz [SECONDS]" >&2; exit 2; }
  system_packages
  fuzz_packages
  py=$(venv $MAIN_PY)
  bin=$(tools)
  dir=$ROOT/build/fuzz
  log "building the fuzz target with clang, AddressSanitizer and UndefinedBehaviorSanitizer"
  "$bin/cmake" -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$bin/ninja" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++-14 -DPython_EXECUTABLE="$py" -DCOMPETITION_FUZZ=ON >/dev/null
  "$bin/cmake" --build "$dir" --target fuzz_core >&2
  corpus=$dir/corpus
  artifacts=$dir/artifacts
  rm -rf "$corpus" "$artifacts"
  mkdir -p "$corpus" "$artifacts"
  "$py" "$ROOT/tests/fuzz/make_seeds.py" "$corpus" >&2
  log "fuzzing the reader's core for ${seconds}s"
  if ! ASAN_OPTIONS=abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
      "$dir/tests/fuzz/fuzz_core" -max_total_time="$seconds" -max_len=4096 -timeout=60 -print_final_stats=1 \
      -dict="$ROOT/tests/fuzz/fuzz_core.dict" -artifact_prefix="$artifacts/" "$corpus"; then
    log "the fuzzer failed; the inputs it kept, in $artifacts: $(ls "$artifacts" | tr "\n" " ")"
    return 1
  fi
}

run_demo() {
  system_packages
  local py
  py=$(venv $MAIN_PY)
  log "installing the module and its kit"
  "$py" -m pip install -q "$ROOT[kit]" >&2
  "$(dirname "$py")/competition-kit" demo
}

case "${1:-}" in
  test) run_tests ;;
  demo) run_demo ;;
  sanitize) run_sanitized ;;
  bench) shift; run_bench "$@" ;;
  fuzz) shift; run_fuzz "$@" ;;
  build) system_packages; for m in $PYTHONS; do build "$m" ON; done ;;
  *) echo "usage: $0 demo|test|sanitize|bench|fuzz|build" >&2; exit 2 ;;
esac
