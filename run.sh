#!/usr/bin/env bash
# Sets everything up from a fresh clone and runs one job:
#   ./run.sh demo    the main job: build and install the module and its kit, run the demo
#   ./run.sh test    build the module for the oldest and the newest interpreter and test both
#   ./run.sh sanitize  the tests against an AddressSanitizer and UndefinedBehaviorSanitizer build
#   ./run.sh bench [--quick]  the benchmark on every interpreter of the matrix; results in bench/results/
#   ./run.sh build   only set up and build (both interpreters)
#   ./run.sh fuzz [SECONDS [RUNS]]  fuzz the reader's core with libFuzzer and ASan/UBSan (default 60 s;
#                    with RUNS, stop after that many executions, SECONDS 0 for no time limit)
#   ./run.sh wheels  release wheels (glibc 2.17, x86-64 and arm64) for CPython 3.6-3.13 into dist/, each checked
#                    by auditwheel, the x86-64 ones installed and run
#   ./run.sh release-test  the tests against the release modules (zig, glibc 2.17) of PYTHONS
#   ./run.sh portability  the release wheels proven in a Debian 11 root and a Debian 12 arm64 root (qemu)
#   ./run.sh format [--check]  the C++ sources in the house style (.clang-format); with --check, only
#                    list what differs and fail
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
  local minor pairs=()
  for minor in $PYTHONS; do  # all builds first: the bundle tests run each under its own interpreter
    build "$minor" ON >/dev/null
    pairs+=("$(venv "$minor")=$ROOT/build/py$minor")
  done
  test_builds "$(tools)/ctest" "${pairs[@]}"
}

# The native tests of the first build, then the whole suite on each interpreter against its own
# module: the arguments are the ctest to run and PYTHON=BUILD_DIR pairs, every module built
# already (the bundle tests run each under its own interpreter). With TEST_WRAP, each suite runs
# under that command (private_working).
test_builds() {
  local ctest=$1 pair py dir status=0 built=() pythons=()
  shift
  for pair in "$@"; do
    pythons+=("${pair%%=*}")
    built+=("$(ls "${pair#*=}"/competition*.so)")
  done
  export COMPETITION_BUILT_MODULES COMPETITION_INTERPRETERS
  COMPETITION_BUILT_MODULES=$(IFS=:; echo "${built[*]}")
  COMPETITION_INTERPRETERS=$(IFS=:; echo "${pythons[*]}")
  log "native core tests"
  "$ctest" --test-dir "${1#*=}" --output-on-failure || status=1
  for pair in "$@"; do
    py=${pair%%=*} dir=${pair#*=}
    log "tests on $("$py" -c 'import sys, pandas
try:
    import pyarrow; extra = ", pyarrow " + pyarrow.__version__
except ImportError:
    extra = ""
print("Python " + sys.version.split()[0] + " (pandas " + pandas.__version__ + extra + ")")') against ${dir#$ROOT/}"
    COMPETITION_MODULE=$(ls "$dir"/competition*.so) COMPETITION_PROBE_DIR="$dir/tests/native" \
      ${TEST_WRAP:-} "$py" -m pytest -q "$ROOT/tests" || status=1
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
    COMPETITION_MODULE=$module COMPETITION_PROBE_DIR="$dir/tests/native" COMPETITION_LEAK_ENVS=200 \
    COMPETITION_SANITIZED=1 "$py" -m pytest -q "$ROOT/tests"
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
      "$dir/tests/fuzz/fuzz_core" -max_total_time="$seconds" -runs="$runs" -max_len=4096 -timeout=60 \
      -print_final_stats=1 -dict="$ROOT/tests/fuzz/fuzz_core.dict" -artifact_prefix="$artifacts/" "$corpus"; then
    log "the fuzzer failed; the inputs it kept, in $artifacts: $(ls "$artifacts" | tr "\n" " ")"
    return 1
  fi
}

# --- release builds: zig's clang against glibc 2.17 (cmake/zig.cmake) ------------------------------
CACHE=${COMPETITION_CACHE:-/var/cache/competition}  # kept between runs, outside the clone
RELEASE_PYTHONS="3.6 3.7 3.8 3.9 3.10 3.11 3.12 3.13"
# arm64: Debian 12's libssl-dev (static libcrypto.a, headers) and python3-dev, and the root the
# arm64 modules are proven in under qemu
ARM64_PACKAGES=python3,python3-pandas,python3-pip,python3-dev,libssl-dev
# the older system the x86-64 wheels are proven on: glibc 2.31, CPython 3.9.2, pandas 1.1.5
OLD_PACKAGES=python3,python3-pandas,python3-pip

release_tools() {  # the build venv (requirements/build.txt: zig, cmake, ninja, auditwheel); prints its bin
  local dir=$ROOT/.venv/build
  if [ ! -x "$dir/bin/python" ]; then
    log "creating the build venv"
    "$(interpreter $MAIN_PY)" -m venv "$dir"
  fi
  if ! cmp -s "$ROOT/requirements/build.txt" "$dir/.requirements"; then
    log "installing the build tools"
    "$dir/bin/python" -m pip install -q -r "$ROOT/requirements/build.txt" >&2
    cp "$ROOT/requirements/build.txt" "$dir/.requirements"
  fi
  echo "$dir/bin"
}

soabi() {  # SOABI of CPython $1 on architecture $2
  local m=""
  case $1 in 3.6|3.7) m=m ;; esac
  echo "cpython-${1/./}$m-$2-linux-gnu"
}

release_build() {  # release module for ARCH MINOR [INCLUDE_DIR] (COMPETITION_TESTS=$4); prints its path
  local arch=$1 minor=$2 include=${3:-} tests=${4:-OFF} bin dir args zig
  bin=$(release_tools)
  dir=$ROOT/build/release-$arch-py$minor
  zig=$("$bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
  args=(-DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/zig.cmake" -DCOMPETITION_ZIG_TARGET="$arch-linux-gnu.2.17"
        -DZIG_EXECUTABLE="$zig"
        -DCOMPETITION_TESTS="$tests")
  if [ -n "$include" ]; then  # an interpreter given by its headers: the build venv runs the scripts
    args+=(-DPython_EXECUTABLE="$bin/python" -DCOMPETITION_PYTHON_INCLUDE_DIR="$include"
           -DCOMPETITION_PYTHON_SOABI="$(soabi "$minor" "$arch")")
  else
    args+=(-DPython_EXECUTABLE="$(interpreter "$minor")")
  fi
  [ "$arch" = aarch64 ] && args+=(-DCOMPETITION_OPENSSL_ROOT="$(debian_root bookworm arm64 $ARM64_PACKAGES)")
  log "release build ($arch-linux-gnu.2.17) for Python $minor"
  mkdir -p "$CACHE/zig"
  ZIG_GLOBAL_CACHE_DIR=$CACHE/zig "$bin/cmake" -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$bin/ninja" \
    "${args[@]}" >/dev/null
  ZIG_GLOBAL_CACHE_DIR=$CACHE/zig "$bin/cmake" --build "$dir" >&2
  ls "$dir/competition.$(soabi "$minor" "$arch").so"
}

debian_headers() {  # include folder of CPython $2 for architecture $3 from Debian root $1; prints it
  # Debian's /usr/include/python3.X/pyconfig.h only picks the multiarch one: put that in its place
  local root=$1 minor=$2 arch=$3 dir=$ROOT/build/headers-$3/python$2
  [ -f "$root/usr/include/$arch-linux-gnu/python$minor/pyconfig.h" ] || return 1
  rm -rf "$dir.new"
  mkdir -p "$(dirname "$dir")"
  cp -r "$root/usr/include/python$minor" "$dir.new"
  cp "$root/usr/include/$arch-linux-gnu/python$minor/pyconfig.h" "$dir.new/pyconfig.h"
  settle "$dir"
}

settle() {  # $1.new becomes $1 unless it is the same: unchanged headers leave the builds as they are
  if diff -r -q "$1.new" "$1" >/dev/null 2>&1; then
    rm -rf "$1.new"
  else
    rm -rf "$1"
    mv "$1.new" "$1"
  fi
  echo "$1"
}

arm64_headers() {  # include folder of CPython $1 for arm64 builds; prints it
  local minor=$1 root dir
  root=$(debian_root bookworm arm64 $ARM64_PACKAGES)
  # the root's own interpreter (3.11): its headers
  debian_headers "$root" "$minor" aarch64 && return
  # the others: the headers are the same on every architecture but pyconfig.h, and x86-64's
  # says what an extension's ABI depends on (type sizes, alignments, byte order) as arm64's
  # does (both LP64, little-endian): checked against the root's 3.11 on every build
  local pyconfigs=("$(dirname "$(interpreter 3.11)")/../include/python3.11/pyconfig.h"
                   "$root/usr/include/aarch64-linux-gnu/python3.11/pyconfig.h")
  local abi='^#define (SIZEOF_|ALIGNOF_|WORDS_BIGENDIAN|DOUBLE_IS_|Py_DEBUG|Py_TRACE_REFS|Py_GIL_DISABLED)'
  if ! diff <(grep -E "$abi" "${pyconfigs[0]}" | sort) <(grep -E "$abi" "${pyconfigs[1]}" | sort) >&2; then
    echo "the x86-64 and arm64 pyconfig.h of 3.11 differ in the ABI's defines: no arm64 headers for $minor" >&2
    return 1
  fi
  dir=$ROOT/build/headers-aarch64/python$minor
  rm -rf "$dir.new"
  mkdir -p "$(dirname "$dir")"
  cp -r "$("$(interpreter "$minor")" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')" "$dir.new"
  settle "$dir"
}

make_wheel() {  # wheel of module file $1 into $2; prints its path
  "$(release_tools)/python" "$ROOT/tools/make_wheel.py" "$1" --out "$2"
}

debian_root() {  # Debian SUITE ARCH PACKAGES root, made by debootstrap once and cached; prints it
  local suite=$1 arch=$2 packages=$3 key dir
  key=$(printf '%s\n' "$suite" "$arch" "$packages" minbase | sha256sum | cut -c1-12)
  dir=$CACHE/roots/$suite-$arch-$key
  if [ ! -x "$dir/usr/bin/python3" ]; then
    system_packages
    command -v debootstrap >/dev/null || apt_install debootstrap
    [ "$arch" = amd64 ] || enable_qemu "$arch"
    log "making a Debian $suite $arch root with $packages (cached in $dir)"
    rm -rf "$dir.part"
    mkdir -p "$CACHE/debs" "$CACHE/roots"
    debootstrap --arch="$arch" --variant=minbase --include="$packages" --cache-dir="$CACHE/debs" \
      "$suite" "$dir.part" http://deb.debian.org/debian >&2 || { rm -rf "$dir.part"; return 1; }
    rm -rf "$dir.part/var/cache/apt/archives/"*.deb
    mv "$dir.part" "$dir"
  fi
  echo "$dir"
}

apt_install() {
  log "installing $*"
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
}

enable_qemu() {  # binaries of architecture $1 run through qemu's user-mode emulation
  local qemu=qemu-aarch64
  command -v qemu-aarch64-static >/dev/null && command -v update-binfmts >/dev/null ||
    apt_install qemu-user-static binfmt-support
  [ -e /proc/sys/fs/binfmt_misc/register ] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  [ -e /proc/sys/fs/binfmt_misc/$qemu ] || update-binfmts --enable $qemu
  grep -q enabled /proc/sys/fs/binfmt_misc/$qemu || { echo "cannot run $1 binaries through qemu" >&2; return 1; }
}

in_root() {  # runs $3... inside root $1 on a throw-away layer over it, each HOST=INSIDE folder of $2 bound in
  # A private mount namespace: the overlay, /proc, /dev and the folders vanish with the command,
  # however it ends, and the cached root itself is never changed (nor is a run's /tmp kept).
  local root=$1 binds=$2 layer status
  shift 2
  layer=$(mktemp -d)
  mkdir -p "$layer/upper" "$layer/work" "$layer/merged"
  unshare --mount --propagation private -- sh -c '
    set -e
    root=$1 layer=$2 binds=$3; shift 3
    mount -t overlay overlay -o "lowerdir=$root,upperdir=$layer/upper,workdir=$layer/work" "$layer/merged"
    mount -t proc proc "$layer/merged/proc"
    mount --rbind /dev "$layer/merged/dev"
    for bind in $binds; do
      mkdir -p "$layer/merged${bind#*=}"
      mount --bind "${bind%%=*}" "$layer/merged${bind#*=}"
    done
    exec chroot "$layer/merged" env -i PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin HOME=/root LANG=C.UTF-8 "$@"
  ' sh "$root" "$layer" "$binds" "$@"
  status=$?
  rm -rf "$layer"
  return $status
}

ref_venv() {  # venv NAME for minor version $2 with requirements/NAME.txt; prints its python
  local name=$1 minor=$2 dir=$ROOT/.venv/$1
  if [ ! -x "$dir/bin/python" ]; then
    log "creating venv $name (Python $minor)"
    "$(interpreter "$minor")" -m venv "$dir"
  fi
  if ! cmp -s "$ROOT/requirements/$name.txt" "$dir/.requirements"; then
    "$dir/bin/python" -m pip install -q -r "$ROOT/requirements/$name.txt" >&2
    cp "$ROOT/requirements/$name.txt" "$dir/.requirements"
  fi
  echo "$dir/bin/python"
}

private_working() {  # runs a command with /vantor/working, the fixed output path, on a private tmpfs:
  # nothing of the run is left there, nor does it meet another run's file
  mkdir -p /vantor/working
  unshare --mount --propagation private -- sh -c 'mount -t tmpfs tmpfs /vantor/working && "$@"' sh "$@"
}

host_loop() {  # the baseline over sealed data $1 with module $2 and python $3; submission into $4
  local bundle status=0
  bundle=$(mktemp -d)
  cp "$1"/*.encrypted "$2" "$bundle/"
  private_working sh -c 'PYTHONPATH=$5 "$1" -m competition_kit dry-run "$2" --bundle "$3" >&2 &&
    cp /vantor/working/submission.csv "$4"' sh "$3" "$WORK/baseline.py" "$bundle" "$4" "$ROOT/kit" || status=1
  rm -rf "$bundle"
  return $status
}

proof_data() {  # the demo's data set (GROUPS groups), sealed, and the baseline, into $WORK
  local py
  py=$(venv $MAIN_PY)
  PYTHONPATH=$ROOT/kit "$py" - "$WORK" "$1" <<'PY' >&2
import os, subprocess, sys
from competition_kit import synth
from competition_kit.demo import BASELINE
work, groups = sys.argv[1], int(sys.argv[2])
test, sample = synth.make_tables(groups, 20, 40, 200, seed=0)
os.makedirs(os.path.join(work, "csv"))
for name, data in (("test.csv", test), ("sample_submission.csv", sample)):
    with open(os.path.join(work, "csv", name), "wb") as f:
        f.write(data)
with open(os.path.join(work, "baseline.py"), "w") as f:
    f.write(BASELINE)
PY
  PYTHONPATH=$ROOT/kit COMPETITION_MODULE=$(release_build x86_64 $MAIN_PY) "$py" -m competition_kit seal \
    "$WORK/csv/test.csv" "$WORK/csv/sample_submission.csv" --out "$WORK/sealed" >&2
}

run_wheels() {  # a release wheel for each CPython from 3.6 (and arm64's), checked, installed and run
  local bin minor include module wheel entry venv_dir status=0 arm64=${WHEEL_ARM64:-1}
  bin=$(release_tools)
  rm -rf "$ROOT/dist"
  mkdir -p "$ROOT/dist"
  for minor in ${WHEEL_PYTHONS:-$RELEASE_PYTHONS}; do
    interpreter "$minor" >/dev/null 2>&1 || { log "no CPython $minor under $PYENV_ROOT: no wheel for it"; continue; }
    module=$(release_build x86_64 "$minor") && make_wheel "$module" "$ROOT/dist" >&2 || status=1
  done
  # interpreters this machine lacks, by their headers: WHEEL_HEADERS="3.14=DIR ...", DIR either the
  # include folder (pyconfig.h of x86-64 inside) or a Debian root with that interpreter's python3.X-dev
  # (by default 3.14 and 3.15 from the Debian sid root of the newest job; WHEEL_HEADERS="" for none)
  local headers=${WHEEL_HEADERS-}
  [ -n "${WHEEL_HEADERS+set}" ] || headers="3.14=$(sid_root) 3.15=$(sid_root)"
  for entry in $headers; do
    minor=${entry%%=*} include=${entry#*=}
    [ -d "$include/usr/include/python$minor" ] && include=$(debian_headers "$include" "$minor" x86_64)
    module=$(release_build x86_64 "$minor" "$include") && make_wheel "$module" "$ROOT/dist" >&2 || status=1
  done
  if [ "$arm64" = 1 ]; then
    for minor in ${WHEEL_PYTHONS:-$RELEASE_PYTHONS}; do
      module=$(release_build aarch64 "$minor" "$(arm64_headers "$minor")") && make_wheel "$module" "$ROOT/dist" >&2 ||
        status=1
    done
  fi
  local shown
  for wheel in "$ROOT"/dist/*.whl; do  # auditwheel's own reading of each file must give its tag
    shown=$("$bin/auditwheel" show "$wheel") || { status=1; continue; }
    echo "$shown"
    echo "$shown" | tr '\n' ' ' | grep -q 'consistent with the following platform tag: "manylinux_2_17_' ||
      { log "auditwheel does not agree with the tag of $(basename "$wheel")"; status=1; }
  done
  # each x86-64 wheel installed into a fresh venv (pinned requirements where the matrix has them),
  # imported, and the demo's loop run
  for minor in ${WHEEL_PYTHONS:-$RELEASE_PYTHONS}; do
    wheel=$(ls "$ROOT"/dist/competition-*-cp${minor/./}-*x86_64*.whl 2>/dev/null) || continue
    log "installing $(basename "$wheel") into a fresh venv and running the demo"
    venv_dir=$(mktemp -d)
    "$(interpreter "$minor")" -m venv "$venv_dir"
    [ "$minor" = 3.6 ] && "$venv_dir/bin/python" -m pip install -q "pip==21.3.1" >&2
    local pins=()
    [ -f "$ROOT/requirements/py$minor.txt" ] && pins=(-r "$ROOT/requirements/py$minor.txt")
    "$venv_dir/bin/python" -m pip install -q "${pins[@]}" "$wheel[kit]" >&2 &&
      (cd "$venv_dir" && "$venv_dir/bin/python" -c 'import competition, sys; print(competition.__file__)' &&
        private_working "$venv_dir/bin/competition-kit" demo --groups 200) || status=1
    rm -rf "$venv_dir"
  done
  ls "$ROOT"/dist
  return $status
}

run_release_tests() {  # the suite against the release modules (the ones in the wheels), PYTHONS
  system_packages
  local minor pairs=()
  for minor in $PYTHONS; do
    release_build x86_64 "$minor" "" ON >/dev/null
    pairs+=("$(venv "$minor")=$ROOT/build/release-x86_64-py$minor")
  done
  TEST_WRAP=private_working test_builds "$(release_tools)/ctest" "${pairs[@]}"
}

# Inside a root (sh -c): the installed module beside the sealed data in a bundle of its own, the
# demo's baseline run through it by the installed kit
ROOT_LOOP='mkdir -p /vantor/working
    cd /work && competition-kit dry-run baseline.py --bundle "$(python3 -c "
import os, shutil, competition, tempfile
b = tempfile.mkdtemp()
for n in os.listdir(\"/work/sealed\"): shutil.copy(os.path.join(\"/work/sealed\", n), b)
shutil.copy(competition.__file__, b)
print(b)")"'

run_portability() {  # the release modules proven on an older system, and arm64's under qemu
  local old arm64 wheel status=0 groups=${PORTABILITY_GROUPS:-3000}
  shopt -s inherit_errexit
  WORK=$(mktemp -d)
  # the submissions compared are kept in build/portability/
  trap 'rm -rf "$ROOT/build/portability"; mkdir -p "$ROOT/build"
    mv "$WORK/out" "$ROOT/build/portability"; rm -rf "$WORK"' EXIT
  proof_data "$groups"
  mkdir -p "$WORK/wheels" "$WORK/out"

  # Debian 11: glibc 2.31, its CPython 3.9.2 and pandas 1.1.5; the rest from wheels fetched here
  old=$(debian_root bullseye amd64 $OLD_PACKAGES)
  make_wheel "$(release_build x86_64 3.9)" "$WORK/wheels" >&2
  # by 3.9 itself, so that the dependencies' markers are 3.9's
  "$(venv 3.9)" -m pip download -q -d "$WORK/wheels" --only-binary=:all: --platform manylinux2014_x86_64 \
    pycryptodome==3.20.0 pytest==8.3.5 hypothesis==6.112.5 tqdm >&2
  cp -r "$ROOT/tests" "$WORK/tests"
  cp "$ROOT/pyproject.toml" "$WORK/"
  log "Debian 11 root: the cp39 wheel installed with pip, the demo's loop and the loop tests"
  in_root "$old" "$WORK=/work" sh -c '
    set -e
    python3 -c "import sys, platform, pandas; print(\"Python\", sys.version.split()[0],
      platform.libc_ver()[1] and \"glibc \" + platform.libc_ver()[1], \"pandas\", pandas.__version__)"
    python3 -m pip install -q --no-index --find-links /work/wheels competition[kit] pytest hypothesis
    '"$ROOT_LOOP"'
    cp /vantor/working/submission.csv /work/out/debian11.csv
    cd /work && COMPETITION_MODULE="$(python3 -c "import competition; print(competition.__file__)")" \
      python3 -m pytest -q -p no:cacheprovider tests/test_loop_differential.py tests/test_loop.py \
        tests/test_protocol_machine.py
  ' || status=1
  # the same module file here, with the root's numpy and pandas
  host_loop "$WORK/sealed" "$(release_build x86_64 3.9)" "$(ref_venv ref-debian11 3.9)" "$WORK/out/host-cp39.csv" ||
    status=1
  if cmp "$WORK/out/debian11.csv" "$WORK/out/host-cp39.csv"; then
    log "Debian 11's submission is byte for byte this machine's ($(wc -l <"$WORK/out/debian11.csv") lines)"
  else
    status=1
  fi
  [ "${PORTABILITY_ARM64:-1}" = 1 ] || return $status

  # arm64: Debian 12's CPython 3.11.2 and pandas 1.5.3 under qemu's user-mode emulation
  arm64=$(debian_root bookworm arm64 $ARM64_PACKAGES)
  enable_qemu arm64
  make_wheel "$(release_build aarch64 3.11 "$(arm64_headers 3.11)")" "$WORK/wheels" >&2
  "$(venv 3.11)" -m pip download -q -d "$WORK/wheels" --only-binary=:all: --platform manylinux2014_aarch64 \
    pycryptodome==3.20.0 tqdm==4.67.1 >&2
  log "Debian 12 arm64 root under qemu: the cp311 aarch64 wheel installed with pip, the demo's loop"
  in_root "$arm64" "$WORK=/work" sh -c '
    set -e
    python3 -c "import sys, platform, pandas
print(\"Python\", sys.version.split()[0], platform.machine(), \"pandas\", pandas.__version__)"
    python3 -m pip install -q --break-system-packages --no-index --find-links /work/wheels competition[kit]
    '"$ROOT_LOOP"'
    cp /vantor/working/submission.csv /work/out/arm64.csv
  ' || status=1
  host_loop "$WORK/sealed" "$(release_build x86_64 3.11)" "$(ref_venv ref-debian12-arm64 3.11)" \
    "$WORK/out/host-cp311.csv" || status=1
  if cmp "$WORK/out/arm64.csv" "$WORK/out/host-cp311.csv"; then
    log "arm64's submission is byte for byte this machine's ($(wc -l <"$WORK/out/arm64.csv") lines)"
  else
    status=1
  fi
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
NEWEST_PYTHONS=${NEWEST_PYTHONS:-"3.14 3.15"}
SID_MIRROR=${SID_MIRROR:-http://deb.debian.org/debian}
# the root's recipe; a root's name carries its hash, so a changed recipe makes a new root.
# libssl-dev: the native tests check the module's decryption against libcrypto's
SID_PACKAGES="python3.14 python3.14-dev python3.14-venv python3.15 python3.15-dev python3.15-venv
  g++ cmake ninja-build libssl-dev"

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

in_sid() {  # runs "$@" in the sid root $1: the clone at /src, the fetched wheels at /wheels
  local root=$1
  shift
  in_root "$root" "$ROOT=/src $CACHE/wheels=/wheels" /usr/bin/env NEWEST_PYTHONS="$NEWEST_PYTHONS" "$@"
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
  local what=$1 status=0 minor py module asan dir newest pairs=()
  shift
  case $what in
    test)
      for minor in $NEWEST_PYTHONS; do
        sid_build "$minor" "" >/dev/null
        pairs+=("$(sid_venv "$minor")=$ROOT/build/sid/py$minor")
      done
      test_builds ctest "${pairs[@]}" || status=1
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

run_format() {  # clang-format (requirements/format.txt) over every C++ source of the repository
  local py files
  py=$(venv $MAIN_PY "")
  "$py" -m pip install -q -r "$ROOT/requirements/format.txt" >&2
  mapfile -t files < <(git -C "$ROOT" ls-files '*.cpp' '*.hpp' '*.h')
  if [ "${1:-}" = --check ]; then
    "$(dirname "$py")/clang-format" --dry-run -Werror "${files[@]/#/$ROOT/}"
  else
    "$(dirname "$py")/clang-format" -i "${files[@]/#/$ROOT/}"
  fi
}

case "${1:-}" in
  test) run_tests ;;
  demo) run_demo ;;
  sanitize) run_sanitized ;;
  bench) shift; run_bench "$@" ;;
  fuzz) shift; run_fuzz "$@" ;;
  format) shift; run_format "$@" ;;
  wheels) run_wheels ;;
  newest) shift; run_newest "$@" ;;
  in-sid) shift; run_in_sid "$@" ;;  # run_newest's own entry inside the root
  release-test) run_release_tests ;;
  portability) run_portability ;;
  build) system_packages; for m in $PYTHONS; do build "$m" ON; done ;;
  *) echo "usage: $0 demo|test|sanitize|bench|fuzz|build|wheels|release-test|portability|newest" >&2; exit 2 ;;
esac
