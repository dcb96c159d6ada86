#!/usr/bin/env python3
"""Build-time helpers of build-guest.sh that must not depend on the guest's
architecture (the host may be x86-64 while the guest is ARM64):

  libs ROOT TREE FILE...      copy into TREE the shared libraries FILE... need
                              (DT_NEEDED, recursively), found under ROOT, and
                              the ELF interpreter at the path the files name
  modules KDIR TREE NAME...   copy kernel modules NAME... and what they depend
                              on from KDIR (an extracted /lib/modules/<ver>)
                              into TREE/lib/modules, and write their load
                              order to TREE/lib/modules/load-order; exit 3
                              and print the modules.order paths still to be
                              extracted when a dependency is missing
  cpio TREE OUT               pack TREE as a gzip-compressed newc archive,
                              every entry owned by root
  disk ESP OUT MIB            write a GPT disk of MIB MiB to OUT whose only
                              partition (an EFI System Partition at 1 MiB)
                              holds the FAT image ESP

Only the standard library is used."""

import gzip
import os
import re
import shutil
import stat
import struct
import sys
import uuid
import zlib

# ----------------------------------------------------------------- ELF

PT_LOAD, PT_DYNAMIC, PT_INTERP = 1, 2, 3
DT_NULL, DT_NEEDED, DT_STRTAB = 0, 1, 5


def elf_info(path):
    """(interpreter or None, [NEEDED sonames]) of a 64-bit little-endian ELF."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] != b"\x7fELF" or data[4] != 2 or data[5] != 1:
        raise SystemExit(f"{path}: not a 64-bit little-endian ELF file")
    phoff, = struct.unpack_from("<Q", data, 0x20)
    phentsize, phnum = struct.unpack_from("<HH", data, 0x36)
    loads, dynamic, interp = [], None, None
    for i in range(phnum):
        p_type, _flags, p_offset, p_vaddr, _paddr, p_filesz, _memsz, _align = \
            struct.unpack_from("<IIQQQQQQ", data, phoff + i * phentsize)
        if p_type == PT_LOAD:
            loads.append((p_vaddr, p_offset, p_filesz))
        elif p_type == PT_DYNAMIC:
            dynamic = (p_offset, p_filesz)
        elif p_type == PT_INTERP:
            interp = data[p_offset:p_offset + p_filesz].split(b"\0", 1)[0].decode()
    if dynamic is None:
        return interp, []

    def file_offset(vaddr):
        for base, off, size in loads:
            if base <= vaddr < base + size:
                return off + vaddr - base
        raise SystemExit(f"{path}: address {vaddr:#x} is outside every loaded segment")

    needed, strtab = [], None
    off, size = dynamic
    for pos in range(off, off + size, 16):
        tag, val = struct.unpack_from("<qQ", data, pos)
        if tag == DT_NULL:
            break
        if tag == DT_NEEDED:
            needed.append(val)
        elif tag == DT_STRTAB:
            strtab = file_offset(val)
    names = []
    for index in needed:
        start = strtab + index
        names.append(data[start:data.index(b"\0", start)].decode())
    return interp, names


def copy_libs(root, tree, files):
    lib_dirs = []
    for d in ("lib", "usr/lib"):
        base = os.path.join(root, d)
        if os.path.isdir(base):
            lib_dirs += [os.path.join(base, e) for e in sorted(os.listdir(base))
                         if e.endswith("-linux-gnu")] + [base]
    todo, seen, interps = list(files), set(), set()
    while todo:
        interp, needed = elf_info(todo.pop())
        if interp:
            interps.add(interp)
        for soname in needed:
            if soname in seen:
                continue
            seen.add(soname)
            src = next((os.path.join(d, soname) for d in lib_dirs
                        if os.path.exists(os.path.join(d, soname))), None)
            if src is None:
                raise SystemExit(f"library {soname} is in none of the extracted packages")
            rel = os.path.relpath(src, root)
            dst = os.path.join(tree, rel)
            os.makedirs(os.path.dirname(dst), exist_ok=True)
            shutil.copyfile(os.path.realpath(src), dst)
            os.chmod(dst, 0o755)
            todo.append(dst)
    for interp in interps:
        # The loader lives in the multiarch folder; its well-known path
        # (/lib64/ld-linux-x86-64.so.2, /lib/ld-linux-aarch64.so.1) links to it.
        name = os.path.basename(interp)
        real = next((os.path.join(d, name) for d in lib_dirs
                     if os.path.exists(os.path.join(d, name))), None)
        if real is None:
            raise SystemExit(f"ELF interpreter {interp} is in none of the extracted packages")
        dst = os.path.join(tree, os.path.relpath(real, root))
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        shutil.copyfile(os.path.realpath(real), dst)
        os.chmod(dst, 0o755)
        link = os.path.join(tree, interp.lstrip("/"))
        if os.path.abspath(link) != os.path.abspath(dst):
            os.makedirs(os.path.dirname(link), exist_ok=True)
            if os.path.lexists(link):
                os.unlink(link)
            os.symlink(os.path.relpath(dst, os.path.dirname(link)), link)
        print(interp)


# ----------------------------------------------------------------- modules

def norm(name):
    return name.replace("-", "_")


def copy_modules(kdir, tree, wanted):
    order = [line.strip() for line in open(os.path.join(kdir, "modules.order")) if line.strip()]
    builtin = {norm(os.path.basename(line.strip()))[:-3]
               for line in open(os.path.join(kdir, "modules.builtin")) if line.strip()}
    by_name = {norm(os.path.basename(p)).split(".ko")[0]: p for p in order}
    loaded, sequence, missing = set(), [], []

    def visit(name, chain):
        name = norm(name)
        if name in loaded or name in builtin:
            return
        if name in chain:
            raise SystemExit(f"module dependency cycle: {' -> '.join(chain + [name])}")
        rel = by_name.get(name)
        if rel is None:
            raise SystemExit(f"module {name} is neither built in nor in modules.order")
        path = os.path.join(kdir, rel)
        if not os.path.exists(path):
            missing.append(rel)
            return
        with open(path, "rb") as f:
            data = f.read()
        found = re.search(rb"(?:^|\0)depends=([^\0]*)\0", data)
        for dep in (found.group(1).decode().split(",") if found else []):
            if dep:
                visit(dep, chain + [name])
        loaded.add(name)
        sequence.append(path)

    for name in wanted:
        visit(name, [])
    if missing:
        print("\n".join(sorted(set(missing))))
        sys.exit(3)
    dest = os.path.join(tree, "lib", "modules")
    os.makedirs(dest, exist_ok=True)
    with open(os.path.join(dest, "load-order"), "w") as out:
        for path in sequence:
            base = os.path.basename(path)
            shutil.copyfile(path, os.path.join(dest, base))
            out.write(base[:-3] + "\n")
    print(" ".join(os.path.basename(p)[:-3] for p in sequence))


# ----------------------------------------------------------------- cpio

def write_cpio(tree, out_path):
    entries = []
    for top, dirs, files in os.walk(tree):
        dirs.sort()
        for name in sorted(dirs) + sorted(files):
            entries.append(os.path.join(top, name))
    entries.sort()
    with open(out_path, "wb") as raw, gzip.GzipFile(fileobj=raw, mode="wb", compresslevel=6, mtime=0) as z:
        ino = 1000

        def record(name, mode, body, nlink=1):
            nonlocal ino
            ino += 1
            encoded = name.encode() + b"\0"
            head = b"070701" + b"".join(b"%08X" % v for v in (
                ino, mode, 0, 0, nlink, 0, len(body), 0, 0, 0, 0, len(encoded), 0))
            z.write(head + encoded + b"\0" * (-(110 + len(encoded)) % 4))
            z.write(body + b"\0" * (-len(body) % 4))

        for path in entries:
            st = os.lstat(path)
            rel = os.path.relpath(path, tree)
            if stat.S_ISLNK(st.st_mode):
                record(rel, stat.S_IFLNK | 0o777, os.readlink(path).encode())
            elif stat.S_ISDIR(st.st_mode):
                record(rel, stat.S_IFDIR | stat.S_IMODE(st.st_mode), b"", nlink=2)
            elif stat.S_ISREG(st.st_mode):
                with open(path, "rb") as f:
                    record(rel, stat.S_IFREG | stat.S_IMODE(st.st_mode), f.read())
            else:
                raise SystemExit(f"{path}: only files, folders and symbolic links go into the initramfs")
        record("TRAILER!!!", 0, b"")


# ----------------------------------------------------------------- GPT disk

SECTOR = 512
ESP_TYPE = uuid.UUID("c12a7328-f81f-11d2-ba4b-00a0c93ec93b")
# Fixed identifiers keep the disk byte-for-byte reproducible.
DISK_GUID = uuid.UUID("6b656c76-6f00-4e2e-8000-000000000001")
PART_GUID = uuid.UUID("6b656c76-6f00-4e2e-8000-000000000002")


def write_disk(esp, out_path, mib):
    total = mib * 1024 * 1024 // SECTOR
    esp_bytes = os.path.getsize(esp)
    first = 2048
    last = first + esp_bytes // SECTOR - 1
    if esp_bytes % SECTOR or last > total - 34:
        raise SystemExit(f"the ESP ({esp_bytes} bytes) does not fit a {mib} MiB disk")
    name = "EFI system partition".encode("utf-16-le")
    table = struct.pack("<16s16sQQQ72s", ESP_TYPE.bytes_le, PART_GUID.bytes_le, first, last, 0, name)
    table = table.ljust(128 * 128, b"\0")

    def header(current, backup, table_lba):
        fields = [b"EFI PART", 0x00010000, 92, 0, 0, current, backup, 34, total - 34,
                  DISK_GUID.bytes_le, table_lba, 128, 128, zlib.crc32(table)]
        blob = struct.pack("<8sIIIIQQQQ16sQIII", *fields)
        fields[3] = zlib.crc32(blob)
        return struct.pack("<8sIIIIQQQQ16sQIII", *fields).ljust(SECTOR, b"\0")

    mbr = bytearray(SECTOR)
    # One protective partition of type 0xEE spanning the disk.
    mbr[446:462] = struct.pack("<B3sB3sII", 0, b"\x00\x02\x00", 0xEE, b"\xff\xff\xff", 1,
                               min(total - 1, 0xFFFFFFFF))
    mbr[510:] = b"\x55\xaa"
    with open(out_path, "wb") as f:
        f.truncate(total * SECTOR)
        f.write(mbr)
        f.write(header(1, total - 1, 2))
        f.write(table)
        f.seek(first * SECTOR)
        with open(esp, "rb") as e:
            shutil.copyfileobj(e, f, 1 << 20)
        f.seek((total - 33) * SECTOR)
        f.write(table)
        f.write(header(total - 1, 1, total - 33))


def main(argv):
    if len(argv) >= 4 and argv[1] == "libs":
        copy_libs(argv[2], argv[3], argv[4:])
    elif len(argv) >= 4 and argv[1] == "modules":
        copy_modules(argv[2], argv[3], argv[4:])
    elif len(argv) == 4 and argv[1] == "cpio":
        write_cpio(argv[2], argv[3])
    elif len(argv) == 5 and argv[1] == "disk":
        write_disk(argv[2], argv[3], int(argv[4]))
    else:
        raise SystemExit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
