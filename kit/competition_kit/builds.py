"""The module files a bundle ships: built with CMake from the source tree or taken from wheels,
then loaded in a child process of their interpreter."""
import glob
import os
import shutil
import subprocess
import sys
import tempfile

from . import elf
from .errors import KitError
from .inputs import refuse_unless_allowed
from .interpreters import child_python, describe_interpreter
from .module import check_shared_object, looks_like_module, machine_of, serves, version_key


def source_tree(explicit=None):
    """The project's source tree: --source, else the checkout this kit runs from."""
    candidates = [explicit] if explicit else [
        os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir)]
    for directory in candidates:
        lists = os.path.join(directory, "CMakeLists.txt")
        try:
            with open(lists) as f:
                if "project(competition" in f.read():
                    return os.path.abspath(directory)
        except OSError:
            pass
    if explicit:
        raise KitError("%s is not the competition module's source tree (no CMakeLists.txt of it)" % explicit)
    raise KitError("building the module needs its source tree, and this kit is installed without one: "
                   "pass --wheels DIR (a folder of the project's wheels, as ./run.sh wheels writes to dist/) "
                   "to take each interpreter's module from them, --source DIR (a checkout) to build, "
                   "or --module PATH for each built module file")


def _tool(name):
    here = os.path.dirname(sys.executable)  # a venv's cmake and ninja from PyPI
    return shutil.which(name, path=os.pathsep.join([here, os.environ.get("PATH", os.defpath)]))


def _zig():
    """zig, the release build's compiler: on PATH, else from the ziglang package; None without."""
    found = _tool("zig")
    if found:
        return found
    try:
        import ziglang
    except ImportError:
        return None
    path = os.path.join(os.path.dirname(ziglang.__file__), "zig")
    return path if os.path.isfile(path) else None


def build_modules(interpreters, source=None, build_dir=None, out=None):
    """Builds the module for each interpreter with CMake; returns the module files. With zig
    (pip install ziglang) it is the release build, which loads on glibc 2.17 and later, in
    build_dir/release-py<version>; without, the system compiler's, which needs this machine's
    glibc, in build_dir/py<version>. The folders are kept for the next build when build_dir is
    given, else in a temporary folder removed at exit."""
    out = out or sys.stderr
    tree = source_tree(source)
    cmake = _tool("cmake")
    if cmake is None:
        raise KitError("building the module needs cmake (pip install cmake, or your system's package)")
    ninja = _tool("ninja")
    zig = _zig()
    release = []
    if zig:
        release = ["-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(tree, "cmake", "zig.cmake"), "-DZIG_EXECUTABLE=" + zig]
    else:
        out.write("zig not found (pip install ziglang==0.17.1): building with the system compiler, so the "
                  "module needs this machine's glibc or a newer one\n")
    if build_dir:
        root = os.path.abspath(build_dir)
        os.makedirs(root, exist_ok=True)
    else:
        root = tempfile.mkdtemp(prefix="competition-build-")
        import atexit
        atexit.register(shutil.rmtree, root, True)
    built = []
    for interpreter in interpreters:
        directory = os.path.join(root, ("release-py" if zig else "py") + interpreter.version)
        out.write("building the module for CPython %s (%s)\n" % (interpreter.version, interpreter.path))
        out.flush()
        configure = [cmake, "-S", tree, "-B", directory, "-DPython_EXECUTABLE=" + interpreter.path,
                     "-DCMAKE_BUILD_TYPE=Release", "-DCOMPETITION_TESTS=OFF"] + release
        if ninja and not os.path.exists(os.path.join(directory, "CMakeCache.txt")):
            configure += ["-G", "Ninja", "-DCMAKE_MAKE_PROGRAM=" + ninja]
        for step in (configure, [cmake, "--build", directory]):
            result = subprocess.run(step, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                    universal_newlines=True)
            if result.returncode != 0:
                out.write(result.stdout)
                raise KitError("building the module for CPython %s failed (%s exited with status %d; "
                               "its output is above)" % (interpreter.version, os.path.basename(step[0]),
                                                         result.returncode))
        path = os.path.join(directory, interpreter.ext_name)
        if not os.path.isfile(path):
            raise KitError("the build for CPython %s made no %s" % (interpreter.version, interpreter.ext_name))
        built.append(path)
    return built


def modules_from_wheels(directory, pythons=()):
    """The module files in the wheels in directory (those of the CPython versions pythons asks
    for, or all), extracted into a temporary folder removed at exit."""
    if not os.path.isdir(directory):
        raise KitError("--wheels: not a directory: %s" % directory)
    root = tempfile.mkdtemp(prefix="competition-wheels-")
    import atexit
    atexit.register(shutil.rmtree, root, True)
    found = {}
    for wheel in sorted(glob.glob(os.path.join(directory, "*.whl"))):
        _extract_modules(wheel, directory, root, found)
    if not found:
        raise KitError("no wheel of the competition module in %s (./run.sh wheels writes them to dist/)" % directory)
    wanted = _wanted_versions(pythons)
    if wanted:
        have = sorted({v for v, _ in found}, key=version_key)
        for version in sorted(wanted, key=lambda v: version_key(v) if v[:2] == "3." and v[2:].isdigit() else (0,)):
            if version not in have:
                raise KitError("--python %s: no wheel for CPython %s in %s (it has wheels for CPython %s)" % (
                    version, version, directory, ", ".join(have)))
    return [path for (version, _), (_, path) in sorted(found.items(), key=lambda kv: version_key(kv[0][0]))
            if not wanted or version in wanted]


def _extract_modules(wheel, directory, root, found):
    """Extracts the module files of one wheel into root/<wheel name>/, noting each in found by
    (CPython version, machine) as (wheel name, path); a KitError for a second module of a key."""
    import zipfile
    try:
        with zipfile.ZipFile(wheel) as z:
            for member in z.namelist():
                name = member.rsplit("/", 1)[-1]
                if "/" in member.strip("/") or not looks_like_module(name) or not serves(name):
                    continue
                key = (serves(name), machine_of(name))
                if key in found:
                    raise KitError("two wheels in %s hold a module for CPython %s on %s: %s and %s" % (
                        directory, key[0], key[1], found[key][0], os.path.basename(wheel)))
                target = os.path.join(root, os.path.basename(wheel))
                os.makedirs(target, exist_ok=True)
                with z.open(member) as src, open(os.path.join(target, name), "wb") as dst:
                    shutil.copyfileobj(src, dst)
                found[key] = (os.path.basename(wheel), os.path.join(target, name))
    except (OSError, zipfile.BadZipFile) as e:
        raise KitError("cannot read the wheel %s: %s" % (wheel, e))


def _wanted_versions(pythons):
    """The CPython versions --python asks for (a set; empty for all)."""
    wanted = set()
    for request in pythons:
        if request == "all":
            return set()
        wanted.add(request if os.sep not in request else describe_interpreter(request).version)
    return wanted


_LOAD = r"""
import ctypes, importlib.util, os, sys
path, full = sys.argv[1], sys.argv[2] == "1"
try:
    ctypes.CDLL(path, getattr(os, "RTLD_NOW", 2))
except OSError as e:
    print(" ".join(str(e).split())); sys.exit(3)
if full:
    try:
        module_spec = importlib.util.spec_from_file_location("competition", path)
        module_spec.loader.exec_module(importlib.util.module_from_spec(module_spec))
    except ImportError as e:
        if (e.name or "").split(".")[0] in ("pandas", "Crypto", "numpy"):
            print(e.name); sys.exit(4)
        print(" ".join(str(e).split()) or type(e).__name__); sys.exit(3)
    except Exception as e:
        print("%s: %s" % (type(e).__name__, " ".join(str(e).split()))); sys.exit(3)
"""


def load_in_child(path, full=True):
    """Loads the module file at path in a child process of its interpreter: (interpreter, None)
    when it loads, (interpreter, reason) when it does not, (None, note) when it cannot be tried
    here. With full, the module's init runs too (it imports pandas and pycryptodome: an interpreter
    without them only links the file); else the file is only linked (dlopen), which finds a
    missing library or a too-new glibc at a fraction of the cost."""
    name = os.path.basename(path)
    version = serves(name)
    try:
        info = elf.describe(path)
    except (OSError, elf.NotAModule) as e:
        return None, "not a shared object: %s" % e
    if info.machine != elf.this_machine():
        return None, "not loaded: a module for %s, and this machine is %s" % (info.machine, elf.this_machine())
    python = child_python(version) if version else sys.executable
    if python is None:
        return None, "not loaded: no CPython %s found here (pyenv's or python%s on PATH)" % (version, version)
    try:
        result = subprocess.run([python, "-c", _LOAD, path, "1" if full else "0"], stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, universal_newlines=True, timeout=300)
    except (OSError, subprocess.SubprocessError) as e:
        return None, "not loaded: cannot run %s (%s)" % (python, e)
    said = " ".join(result.stdout.split())
    if result.returncode == 0:
        return python, None
    if result.returncode == 4:
        return python, "linked, but its init not run: %s has no %s" % (python, said)
    reason = elf.why_not_here(path)
    return python, "%s%s" % (reason + ": " if reason else "", said or "exit status %d" % result.returncode)


def loads_enough(reason):
    return reason is None or reason.startswith("linked, but")


def check_modules(paths, allow=(), out=None):
    """Describes each module file (a KitError for one that is not a module) and refuses, unless
    allowed, modules of several machines and a module that does not link on its interpreter
    (tried where one is found). Returns the elf.Info of each."""
    out = out or sys.stderr
    infos = [check_shared_object(p) for p in paths]
    for path, info in zip(paths, infos):
        named = machine_of(os.path.basename(path))
        if named and named != info.machine:
            raise KitError("%s is named for %s but is a module for %s" % (path, named, info.machine))
    machines = sorted({i.machine for i in infos})
    if len(machines) > 1:
        text = "the modules are for several architectures (%s): one bundle serves one platform" % "; ".join(
            "%s: %s" % (m, ", ".join(os.path.basename(p) for p, i in zip(paths, infos) if i.machine == m))
            for m in machines)
        refuse_unless_allowed([("--allow-mixed-architectures", text)], allow, out)
    for path in paths:
        python, reason = load_in_child(path, full=False)
        if python is not None and not loads_enough(reason):
            refuse_unless_allowed([("--allow-unloadable", "%s does not load on %s: %s" % (path, python, reason))],
                                  allow, out)
    return infos

