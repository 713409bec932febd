"""A bundle's manifest: what it records of each file, read back and compared; and the fallback
competition.py it lists."""
import hashlib
import json
import os
import re

from .errors import KitError
from .inputs import first_line
from .module import looks_like_module, serves, version_key


MANIFEST = "manifest.json"
FALLBACK = "competition.py"  # what an interpreter the bundle has no module for imports instead


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def file_entry(path, **extra):
    entry = {"size": os.path.getsize(path), "sha256": sha256(path)}
    entry.update(extra)
    return entry


def group_count(ids):
    return int(ids.dropna().nunique())


def versions_text(versions):
    return ", ".join(versions) if versions else "none"


def module_versions(names):
    """The CPython versions a set of module file names serves, oldest first ("any" for a
    file without an interpreter tag)."""
    versions = sorted({serves(n) or "any" for n in names if looks_like_module(n)},
                      key=lambda v: (v == "any", version_key(v) if v != "any" else ()))
    return versions


def read_manifest(directory):
    """The bundle's manifest, or None when it has none."""
    path = os.path.join(directory, MANIFEST)
    if not os.path.exists(path):
        return None
    try:
        with open(path, "rb") as f:
            manifest = json.loads(f.read().decode("utf-8"))
        for group in ("files", "modules"):
            for entry in manifest[group].values():
                int(entry["size"]), str(entry["sha256"])
    except (OSError, ValueError, KeyError, TypeError, AttributeError) as e:
        raise KitError("cannot read %s: %s" % (path, first_line(e) if not isinstance(e, KeyError)
                                                   else "no %s in it" % e))
    return manifest


def compare_with_manifest(directory, manifest):
    """(name, what differs or None) for every file the manifest lists, sealed files first."""
    results = []
    for group in ("files", "modules"):
        for name in sorted(manifest[group]):
            entry = manifest[group][name]
            path = os.path.join(directory, name)
            if not os.path.isfile(path):
                results.append((name, "missing"))
                continue
            size = os.path.getsize(path)
            if size != entry["size"]:
                results.append((name, "%d bytes, the manifest records %d" % (size, entry["size"])))
            elif sha256(path) != entry["sha256"]:
                results.append((name, "same size, another SHA-256 than the manifest records"))
            else:
                results.append((name, None))
    return results


FALLBACK_TEMPLATE = '''"""Imported only by an interpreter that this bundle has no module file for: the import system
looks for an extension module before a source file of the same name, so an interpreter that has
its module file here never reads this one. It says which interpreters the bundle serves."""
import platform
import sysconfig

SERVED = %r  # the module files of this bundle

raise ImportError(
    "this bundle's competition module serves %%s; this is %%s %%s on %%s, which would import %%s" %% (
        ", ".join(SERVED) or "no interpreter", platform.python_implementation(), platform.python_version(),
        platform.machine(), "competition" + (sysconfig.get_config_var("EXT_SUFFIX") or ".so")),
    name="competition")
'''


def _served_text(name):
    m = re.match(r"^competition\.cpython-3(\d+)[a-z]*-(.+)\.so$", name)
    return "CPython 3.%s (%s)" % m.groups() if m else name


def fallback_source(names):
    """The fallback competition.py of a bundle whose module files are names."""
    return FALLBACK_TEMPLATE % ([_served_text(n) for n in names],)
