"""Marks a linked extension module's references to the interpreter weak.

    python weaken_imports.py MODULE_FILE

Built for one CPython minor version, the module refers to interpreter functions that another
version may not export (the vectorcall functions, for one). Loaded by such an interpreter, the
dynamic loader would refuse it with "undefined symbol: ..." before any of its code could run.
With those references weak, the loader binds what is missing to null instead, and the module's
init function, whose first step is to compare the running version with the version it was
built for, refuses with one clear line; it calls nothing the other version could lack.

Only undefined global symbols named Py... or _Py... in the dynamic symbol table (and in the
full symbol table, for consistency) are changed. ELF64 little-endian files only; anything else
is left as it is.
"""
import os
import struct
import sys

SHT_SYMTAB, SHT_DYNSYM = 2, 11
STB_GLOBAL, STB_WEAK = 1, 2
SHN_UNDEF = 0


def weaken(data):
    """Returns (patched bytes, number of symbols changed)."""
    if data[:4] != b"\x7fELF" or data[4] != 2 or data[5] != 1:
        return data, 0
    out = bytearray(data)
    shoff, = struct.unpack_from("<Q", data, 0x28)
    shentsize, shnum = struct.unpack_from("<HH", data, 0x3A)
    sections = [struct.unpack_from("<IIQQQQIIQQ", data, shoff + i * shentsize) for i in range(shnum)]
    changed = 0
    for sh_name, sh_type, _, _, sh_offset, sh_size, sh_link, _, _, sh_entsize in sections:
        if sh_type not in (SHT_SYMTAB, SHT_DYNSYM) or sh_entsize != 24:
            continue
        strtab_offset = sections[sh_link][4]
        for pos in range(sh_offset, sh_offset + sh_size, 24):
            st_name, st_info, _, st_shndx = struct.unpack_from("<IBBH", data, pos)
            if st_shndx != SHN_UNDEF or st_info >> 4 != STB_GLOBAL:
                continue
            start = strtab_offset + st_name
            name = data[start:data.index(b"\0", start)]
            if name.startswith((b"Py", b"_Py")):
                out[pos + 4] = (STB_WEAK << 4) | (st_info & 0xF)
                changed += 1
    return bytes(out), changed


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: weaken_imports.py MODULE_FILE")
    path = sys.argv[1]
    with open(path, "rb") as f:
        data = f.read()
    patched, changed = weaken(data)
    if changed:
        temporary = path + ".weakening"
        with open(temporary, "wb") as f:
            f.write(patched)
        os.chmod(temporary, os.stat(path).st_mode)
        os.replace(temporary, path)


if __name__ == "__main__":
    main()
