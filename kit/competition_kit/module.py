"""Finding the built competition module and loading private copies of it."""
import importlib.machinery
import importlib.util
import os
import re
import sys

from .errors import KitError

NAME = "competition"


def _this_interpreter(file_name):
    """False for a module file whose name says it was built for another interpreter."""
    suffixes = importlib.machinery.EXTENSION_SUFFIXES
    if re.search(r"\.cpython-[0-9]", file_name) or ".abi3." in file_name:
        return any(file_name.endswith(s) for s in suffixes if s not in (".so", ".pyd"))
    return any(file_name.endswith(s) for s in suffixes)


def looks_like_module(file_name):
    """Whether a file name is one the import system finds as the module competition."""
    return re.match(r"^competition(\.[A-Za-z0-9_-]+)*\.(so|pyd)$", file_name) is not None


def module_file(explicit=None):
    """The built module file: --module, else COMPETITION_MODULE, else the installed one."""
    path = explicit or os.environ.get("COMPETITION_MODULE")
    if path:
        if not os.path.isfile(path):
            raise KitError("module file not found: %s" % path)
        if not looks_like_module(os.path.basename(path)):
            raise KitError("%s is not a built competition module (expected a file named "
                           "competition.<tag>.so)" % path)
        check_shared_object(path)
        return os.path.abspath(path)
    module_spec = importlib.util.find_spec(NAME)
    if module_spec is None or not module_spec.origin or not os.path.isfile(module_spec.origin):
        raise KitError("the competition module is not installed; pass --module PATH "
                       "or set COMPETITION_MODULE")
    return module_spec.origin


def check_shared_object(path):
    """A KitError unless path is a shared object that exports the module's init function."""
    from . import elf
    try:
        info = elf.describe(path)
    except elf.NotAModule as e:
        raise KitError("%s is not a built competition module: %s" % (path, e))
    except OSError as e:
        raise KitError("cannot read %s: %s" % (path, e.strerror or e))
    if not info.exports_init:
        raise KitError("%s is not a built competition module: it exports no PyInit_competition" % path)
    return info


def module_in(directory):
    """The module file in a bundle that this interpreter imports, or a KitError."""
    found = []
    if os.path.isdir(directory):
        names = os.listdir(directory)
        for suffix in importlib.machinery.EXTENSION_SUFFIXES:  # the import system's order
            if NAME + suffix in names:
                return os.path.join(directory, NAME + suffix)
        found = sorted(n for n in names if looks_like_module(n))
    raise KitError("no competition module for this interpreter (CPython %d.%d) in %s%s" % (
        sys.version_info[0], sys.version_info[1], directory, " (found %s)" % ", ".join(found) if found else ""))


def load(path):
    """The module at path, loaded privately: not registered in sys.modules, so it never
    interferes with a module the caller imported."""
    if not _this_interpreter(os.path.basename(path)):
        raise KitError("%s was built for another Python interpreter" % path)
    module_spec = importlib.util.spec_from_file_location(NAME, path)
    if module_spec is None:
        raise KitError("%s is not a loadable module file" % path)
    try:
        # an extension module is loaded (dlopen, then its init function) already here
        module = importlib.util.module_from_spec(module_spec)
        module_spec.loader.exec_module(module)
    except Exception as e:  # a missing library, another interpreter's module, not a module
        from .elf import why_not_here
        reason = why_not_here(path)  # another machine, a newer glibc, not glibc at all
        raise KitError("cannot load the competition module %s: %s" % (
            path, "%s (%s)" % (reason, _one_line(e)) if reason else _one_line(e)))
    return module


def _one_line(e):
    text = " ".join(str(e).split())
    return text or type(e).__name__


def serves(file_name):
    """The CPython version a module file's name says it is for ("3.13"), or None for a name
    without an interpreter tag (which every interpreter would try to import)."""
    m = re.match(r"^competition\.cpython-3(\d+)[a-z]*-", file_name)
    return "3.%s" % m.group(1) if m else None


def machine_of(file_name):
    """The machine a module file's name says it is for ("x86_64", "aarch64"), or None."""
    m = re.match(r"^competition\.cpython-3\d+[a-z]*-([A-Za-z0-9_]+)-linux", file_name)
    return m.group(1) if m else None


def version_key(version):
    return tuple(int(part) for part in version.split("."))


def fresh_env(module):
    """A new environment of a privately loaded module (its once-only flag re-armed)."""
    module.make_env.__called__ = False
    return module.make_env()


def read_inputs(directory, module_path, names=("test.csv", "sample_submission.csv")):
    """Decrypts the inputs in directory, in memory only, through the module's own reader."""
    full = [os.path.join(os.path.abspath(directory), name) for name in names]
    for name, path in zip(names, full):
        if not os.path.isfile(path + ".encrypted"):
            raise KitError("missing %s.encrypted in %s" % (name, directory))
    env = fresh_env(load(module_path))
    frames = []
    for path in full:
        try:
            frames.append(env._Competition__read_csv(path))
        except Exception as e:
            raise KitError(str(e.args[0]) if e.args else repr(e))
    return frames
