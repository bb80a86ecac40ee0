#!/usr/bin/env python3
"""Test equipment: reads and retargets the import table of a PE image (a kernel driver).

  peimage.py shimdef IMAGE OUT.def SHIM REPLACED...
                                          export table of the shim: every ntoskrnl.exe import of
                                          IMAGE forwarded to ntoskrnl.exe, REPLACED names served
                                          by the shim's own routines (Name = ShimName)
  peimage.py retarget IMAGE OUT OLD NEW   copy of IMAGE importing NEW instead of OLD (same length)
  peimage.py check IMAGE COPY OLD NEW     the copy differs from IMAGE only in that one name
"""
import struct
import sys


def sections(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        sys.exit("not a PE image")
    count = struct.unpack_from("<H", data, pe + 6)[0]
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    optional = pe + 24
    if struct.unpack_from("<H", data, optional)[0] != 0x20B:
        sys.exit("not a 64-bit image")
    table = optional + optional_size
    result = []
    for i in range(count):
        _, vsize, va, rawsize, raw = struct.unpack_from("<8sIIII", data, table + 40 * i)
        result.append((va, max(vsize, rawsize), raw))
    import_rva = struct.unpack_from("<I", data, optional + 112 + 8)[0]
    return result, import_rva


def offset(secs, rva):
    for va, size, raw in secs:
        if va <= rva < va + size:
            return raw + rva - va
    sys.exit(f"address {rva:#x} outside every section")


def cstring(data, at):
    return data[at:data.index(b"\0", at)].decode("ascii")


def descriptors(data):
    """(name offset, DLL name, [imported names]) for each import descriptor."""
    secs, rva = sections(data)
    at = offset(secs, rva)
    result = []
    while True:
        lookup, _, _, name_rva, thunk = struct.unpack_from("<IIIII", data, at)
        if name_rva == 0:
            return result
        names = []
        entry = offset(secs, lookup or thunk)
        while True:
            value = struct.unpack_from("<Q", data, entry)[0]
            if value == 0:
                break
            if not value >> 63:
                names.append(cstring(data, offset(secs, value & 0x7FFFFFFF) + 2))
            entry += 8
        name_at = offset(secs, name_rva)
        result.append((name_at, cstring(data, name_at), names))
        at += 20


def imports_of(data, dll):
    return [n for _, name, names in descriptors(data) if name.lower() == dll.lower() for n in names]


def main(argv):
    command = argv[1] if len(argv) > 1 else ""
    if command == "shimdef" and len(argv) >= 5:
        names = imports_of(open(argv[2], "rb").read(), "ntoskrnl.exe")
        replaced = set(argv[5:])
        lines = [f"LIBRARY {argv[4]}", "EXPORTS"]
        for name in sorted(set(names) | replaced):
            lines.append(f"    {name} = Shim{name}" if name in replaced
                         else f"    {name} = ntoskrnl.exe.{name}")
        open(argv[3], "w").write("\n".join(lines) + "\n")
    elif command == "retarget" and len(argv) == 6:
        data = bytearray(open(argv[2], "rb").read())
        old, new = argv[4], argv[5]
        if len(old) != len(new):
            sys.exit("retarget: the new name must be as long as the old one")
        hits = [at for at, name, _ in descriptors(bytes(data)) if name.lower() == old.lower()]
        if len(hits) != 1:
            sys.exit(f"retarget: {len(hits)} import descriptors name {old}")
        data[hits[0]:hits[0] + len(new)] = new.encode("ascii")
        open(argv[3], "wb").write(data)
    elif command == "check" and len(argv) == 6:
        original = open(argv[2], "rb").read()
        copy = open(argv[3], "rb").read()
        old, new = argv[4], argv[5]
        if len(original) != len(copy):
            sys.exit(f"check: sizes differ ({len(original)} and {len(copy)} bytes)")
        changed = [i for i in range(len(copy)) if original[i] != copy[i]]
        (at, name, _), = [d for d in descriptors(copy) if d[1].lower() == new.lower()]
        if not changed or changed[0] < at or changed[-1] >= at + len(new) \
                or original[at:at + len(old)].decode("ascii").lower() != old.lower():
            sys.exit(f"check: bytes {changed[:4]}... differ outside the import name at {at}")
        print(f"{argv[3]}: byte-identical to {argv[2]} but for the import name "
              f"{old} -> {new} at file offset {at:#x} ({len(changed)} bytes)")
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
