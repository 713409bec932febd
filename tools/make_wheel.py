"""Assembles the wheel of one built module file, with the metadata the build backend writes.

    python tools/make_wheel.py MODULE_FILE --out DIR

The module file is a release build (cmake/zig.cmake) for one interpreter, named by its SOABI
(competition.cpython-313-x86_64-linux-gnu.so, competition.cpython-36m-aarch64-linux-gnu.so, ...).
The wheel holds it and the kit's package, and is tagged from what the file is: the interpreter
and ABI from its name, the architecture from its ELF header, and the manylinux tag from the
newest glibc symbol version it needs (read from the file, not assumed). Any interpreter whose
module can be built gets a wheel this way, CPython 3.6 included, on which the build backend does
not run: nothing here runs the interpreter the wheel is for.

The metadata is the backend's (scikit-build-core) for this pyproject.toml: the same fields in
the same order, the same entry points; the generator line names this script.
"""
import argparse
import base64
import hashlib
import io
import os
import re
import sys
import zipfile

try:
    import tomllib
except ImportError:  # pragma: no cover - the build venv is 3.11 or later
    sys.exit("make_wheel.py needs Python 3.11 or later (tomllib)")
from elftools.elf.elffile import ELFFile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MACHINES = {"EM_X86_64": "x86_64", "EM_AARCH64": "aarch64"}
SOABI = re.compile(r"^competition\.cpython-(3)(\d+)(m?)-(x86_64|aarch64)-linux-gnu\.so$")


def glibc_floor(elf):
    """The newest GLIBC_x.y version the file needs, as (x, y)."""
    versions = [(2, 0)]
    for section in elf.iter_sections():
        if section.name != ".gnu.version_r":
            continue
        for _, auxiliaries in section.iter_versions():
            for aux in auxiliaries:
                found = re.fullmatch(r"GLIBC_(\d+)\.(\d+)(?:\.\d+)?", aux.name)
                if found:
                    versions.append((int(found.group(1)), int(found.group(2))))
    return max(versions)


def module_tags(path):
    """(python tag, abi tag, platform tags) of a module file; refuses what it cannot tag truly."""
    found = SOABI.match(os.path.basename(path))
    if not found:
        sys.exit(f"{path}: not a module file named competition.cpython-3XY-ARCH-linux-gnu.so")
    major, minor, abiflag, arch = found.groups()
    with open(path, "rb") as f:
        elf = ELFFile(f)
        machine = MACHINES.get(elf["e_machine"])
        if machine != arch:
            sys.exit(f"{path}: named for {arch}, but its code is for {elf['e_machine']}")
        floor = glibc_floor(elf)
    if floor > (2, 17):
        sys.exit(f"{path}: needs GLIBC_{floor[0]}.{floor[1]}, above manylinux2014's 2.17 "
                 "(build it with -DCMAKE_TOOLCHAIN_FILE=cmake/zig.cmake)")
    python = f"cp{major}{minor}"
    # manylinux2014 is the legacy name of manylinux_2_17; installers older than pip 20.3 know
    # only the legacy one, newer ones both
    platforms = [f"manylinux_2_17_{arch}", f"manylinux2014_{arch}"]
    return python, python + abiflag, platforms


def metadata(project, readme):
    """METADATA as the backend writes it."""
    lines = ["Metadata-Version: 2.2", f"Name: {project['name']}", f"Version: {version()}",
             f"Summary: {project['description']}"]
    if "requires-python" in project:
        lines.append(f"Requires-Python: {project['requires-python']}")
    lines += [f"Requires-Dist: {dep}" for dep in project.get("dependencies", [])]
    for extra, deps in project.get("optional-dependencies", {}).items():
        lines.append(f"Provides-Extra: {extra}")
        lines += [f'Requires-Dist: {dep}; extra == "{extra}"' for dep in deps]
    lines.append("Description-Content-Type: text/markdown")
    return "\n".join(lines) + "\n\n" + readme


def version():
    with open(os.path.join(ROOT, "kit", "competition_kit", "__init__.py"), encoding="utf-8") as f:
        found = re.search(r'^__version__ = "([^"]+)"', f.read(), re.M)
    return found.group(1)


def entry_points(project):
    scripts = project.get("scripts", {})
    if not scripts:
        return None
    return "[console_scripts]\n" + "".join(f"{name} = {target}\n" for name, target in scripts.items()) + "\n"


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def package_files():
    """(name in the wheel, path) of the kit's package, as wheel.packages puts it."""
    base = os.path.join(ROOT, "kit")
    for folder, dirs, files in os.walk(os.path.join(base, "competition_kit")):
        dirs[:] = sorted(d for d in dirs if d != "__pycache__")
        for name in sorted(files):
            if not name.endswith((".pyc", ".pyo")):
                path = os.path.join(folder, name)
                yield os.path.relpath(path, base).replace(os.sep, "/"), path


def assemble(module, out):
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        project = tomllib.load(f)["project"]
    with open(os.path.join(ROOT, project.get("readme", "README.md")), encoding="utf-8") as f:
        readme = f.read()
    python, abi, platforms = module_tags(module)
    name, ver = project["name"], version()
    info = f"{name}-{ver}.dist-info"
    wheel_name = f"{name}-{ver}-{python}-{abi}-{'.'.join(platforms)}.whl"
    wheel_meta = "Wheel-Version: 1.0\nGenerator: competition tools/make_wheel.py\nRoot-Is-Purelib: false\n"
    wheel_meta += "".join(f"Tag: {python}-{abi}-{platform}\n" for platform in platforms)

    entries = [(os.path.basename(module), open(module, "rb").read(), 0o755)]
    entries += [(name_, open(path, "rb").read(), 0o644) for name_, path in package_files()]
    entries.append((f"{info}/METADATA", metadata(project, readme).encode(), 0o644))
    entries.append((f"{info}/WHEEL", wheel_meta.encode(), 0o644))
    points = entry_points(project)
    if points:
        entries.append((f"{info}/entry_points.txt", points.encode(), 0o644))
    record = "".join(record_line(n, d) + "\n" for n, d, _ in entries) + f"{info}/RECORD,,\n"
    entries.append((f"{info}/RECORD", record.encode(), 0o644))

    os.makedirs(out, exist_ok=True)
    target = os.path.join(out, wheel_name)
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as wheel:
        for entry_name, data, mode in entries:
            item = zipfile.ZipInfo(entry_name, date_time=(1980, 1, 1, 0, 0, 0))
            item.external_attr = (0o100000 | mode) << 16
            item.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(item, data)
    temporary = target + ".part"
    with open(temporary, "wb") as f:
        f.write(buffer.getvalue())
    os.replace(temporary, target)
    return target


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("module", help="a release build's module file")
    parser.add_argument("--out", required=True, help="folder for the wheel")
    args = parser.parse_args(argv)
    print(assemble(args.module, args.out))


if __name__ == "__main__":
    main()
