"""What a module file needs to load, read from the ELF file itself: its machine and the newest
glibc symbol version it asks for (.gnu.version_r), and what this system offers."""
import os
import platform
import re
import struct

MACHINES = {3: "i386", 8: "mips", 20: "ppc", 21: "ppc64", 22: "s390x", 40: "arm", 62: "x86_64",
            183: "aarch64", 243: "riscv64"}
SHT_DYNSYM = 11
SHT_GNU_VERNEED = 0x6ffffffe
ET_DYN = 3


class NotAModule(Exception):
    """The file is not an ELF shared object."""


class Info(object):
    def __init__(self, machine, glibc, needs, exports_init):
        self.machine = machine          # "x86_64", "aarch64", ... (or "machine 1234")
        self.glibc = glibc              # the newest GLIBC_x.y it needs, as (x, y), or None
        self.needs = needs              # the shared libraries it names (from .gnu.version_r)
        self.exports_init = exports_init

    @property
    def floor(self):
        return "glibc %s" % version_text(self.glibc) if self.glibc else "no glibc version"


def version_text(version):
    return ".".join(str(p) for p in version)


def _version(name):
    m = re.match(r"^GLIBC_(\d+(?:\.\d+)+)$", name)
    return tuple(int(p) for p in m.group(1).split(".")) if m else None


def describe(path):
    """The Info of the shared object at path, or NotAModule saying why it is not one."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] != b"\x7fELF":
        raise NotAModule("not an ELF file")
    if len(data) < 64 or data[4] not in (1, 2) or data[5] not in (1, 2):
        raise NotAModule("a damaged ELF header")
    wide, end = data[4] == 2, "<" if data[5] == 1 else ">"

    def unpack(fmt, offset):
        try:
            return struct.unpack_from(end + fmt, data, offset)
        except struct.error:
            raise NotAModule("a damaged ELF file (cut short?)")

    e_type, e_machine = unpack("HH", 16)
    if e_type != ET_DYN:
        raise NotAModule("an ELF file, but not a shared object")
    sections = _sections(unpack, wide)

    def string(table, at):
        start = sections[table][4] + at
        stop = data.find(b"\0", start)
        return data[start:stop].decode("ascii", "replace") if stop >= 0 else ""

    versions, needs, exports_init = [], [], False
    for s in sections:
        if s[1] == SHT_GNU_VERNEED:
            _needed_versions(unpack, lambda at, link=s[6]: string(link, at), s, needs, versions)
        elif s[1] == SHT_DYNSYM and s[6] < len(sections):
            strtab = sections[s[6]]
            exports_init = b"\0PyInit_competition\0" in data[strtab[4]:strtab[4] + strtab[5]]
    return Info(MACHINES.get(e_machine, "machine %d" % e_machine), max(versions) if versions else None,
                needs, exports_init)


def _sections(unpack, wide):
    """The section headers, each (name, type, flags, addr, offset, size, link, info, align, entsize)."""
    if wide:
        shoff, = unpack("Q", 40)
        shentsize, shnum, shstrndx = unpack("HHH", 58)
        entry = "IIQQQQIIQQ"
    else:
        shoff, = unpack("I", 32)
        shentsize, shnum, shstrndx = unpack("HHH", 46)
        entry = "IIIIIIIIII"
    return [unpack(entry, shoff + i * shentsize) for i in range(shnum)] if shoff else []


def _needed_versions(unpack, string, s, needs, versions):
    """Adds the libraries that the version-needs section s names to needs, and the glibc
    versions it asks for to versions; string reads a name from the section's string table."""
    at, left = s[4], s[7]  # sh_info: the number of entries
    while left > 0:
        _, count, file_name, aux, following = unpack("HHIII", at)
        needs.append(string(file_name))
        entry = at + aux
        for _ in range(count):
            _, _, _, name, step = unpack("IHHII", entry)
            v = _version(string(name))
            if v:
                versions.append(v)
            entry += step
        left -= 1
        if not following:
            break
        at += following


def this_machine():
    return {"amd64": "x86_64", "arm64": "aarch64"}.get(platform.machine().lower(), platform.machine())


def this_glibc():
    """This process's glibc version as (x, y), or None when its C library is not glibc (musl)."""
    try:
        text = os.confstr("CS_GNU_LIBC_VERSION")
    except (ValueError, OSError, AttributeError):
        text = None
    m = re.match(r"^glibc (\d+(?:\.\d+)+)", text or "")
    return tuple(int(p) for p in m.group(1).split(".")) if m else None


def why_not_here(path):
    """A short reason why the module at path cannot load on this system (machine, glibc), or
    None when nothing of that kind is in the way."""
    try:
        info = describe(path)
    except (OSError, NotAModule):
        return None
    if info.machine != this_machine():
        return "it is a module for %s, this machine is %s" % (info.machine, this_machine())
    have = this_glibc()
    if info.glibc and have is None:
        return "it needs glibc %s or later, and this system's C library is not glibc (musl?)" % (
            version_text(info.glibc))
    if info.glibc and have < info.glibc:
        return "it needs glibc %s or later, this system has glibc %s" % (
            version_text(info.glibc), version_text(have))
    return None
