#!/usr/bin/python3
"""Checks `tessaloom --struct FILE --json` against an established tool on the same files.

    struct_peer_check.py readelf|pefile|zipfile|pngcheck TESSALOOM

readelf: the system's own ELF programs and libraries, an object file and a big-endian ELF32;
pefile: Wine's PE DLLs and programs and DLLs built with MinGW-w64 (one with a build ID, one given
a Rich header, one with a ZIP archive appended); zipfile: archives made by
Python and by Info-ZIP zip (ZIP64, data descriptors, a stub in front); pngcheck: PNG files made
here (a wrong CRC, bytes after IEND) and a few of the system's. Exits with 77 when the tool is
missing. TESSALOOM_EXE and TESSALOOM_LAUNCHER override the program, as for the other end-to-end
tests."""
import glob
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

SKIP = 77
failures = []


def tessaloom(path):
    program = os.environ.get("TESSALOOM_EXE") or sys.argv[2]
    launcher = os.environ.get("TESSALOOM_LAUNCHER", "").split()
    run = subprocess.run(launcher + [program, "--struct", path, "--json"],
                         capture_output=True, check=True)
    return json.loads(run.stdout)


def expect(what, ours, theirs):
    if ours == theirs:
        return
    if isinstance(ours, list) and isinstance(theirs, list) and len(ours) + len(theirs) > 20:
        # Of long lists, the counts and the first entry that differs.
        first = next((i for i, (a, b) in enumerate(zip(ours, theirs)) if a != b),
                     min(len(ours), len(theirs)))
        ours = f"{len(ours)} entries, [{first}] = {ours[first] if first < len(ours) else None}"
        theirs = f"{len(theirs)} entries, [{first}] = " + \
            f"{theirs[first] if first < len(theirs) else None}"
    failures.append(f"{what}:\n  tessaloom: {ours}\n  peer:      {theirs}")


def run_text(*command):
    env = dict(os.environ, LC_ALL="C")
    return subprocess.run(command, capture_output=True, text=True, env=env).stdout


# --- readelf -----------------------------------------------------------------------------------
SECTION = re.compile(r"^\s*\[\s*(\d+)\]\s(.*?)\s+(\S+)\s+([0-9a-f]{8,16})\s+([0-9a-f]{6,})\s+"
                     r"([0-9a-f]{6,})\s+[0-9a-f]{2}\s+([A-Za-z]*)\s+\d+\s+\d+\s+\d+$")
SEGMENT = re.compile(r"^\s+(\S+)\s+0x([0-9a-f]+) 0x([0-9a-f]+) 0x[0-9a-f]+ 0x([0-9a-f]+) "
                     r"0x([0-9a-f]+) (...) 0x[0-9a-f]+$")


def elf_files(work):
    files = ["/usr/bin/ls", "/usr/bin/bash", sys.argv[2]]
    for name in ["libc.so.6", "libstdc++.so.6", "libm.so.6", "ld-linux-x86-64.so.2", "libz.so.1"]:
        files += glob.glob(f"/usr/lib/*/{name}")[:1]
    with open(os.path.join(work, "data.bin"), "wb") as data:
        data.write(bytes(range(256)) * 8)
    # A relocatable file, and a big-endian ELF32 made by objcopy's generic targets.
    for target in ["elf32-big", "elf64-little"]:
        out = os.path.join(work, f"{target}.o")
        if subprocess.run(["objcopy", "-I", "binary", "-O", target, "data.bin", out],
                          cwd=work).returncode == 0:
            files.append(out)
    # Flags and types that readelf names by the machine (x86-64) and the OS/ABI: GNU as the
    # assembler marks it, and System V.
    with open(os.path.join(work, "flags.s"), "w") as out:
        out.write('.section .lbss,"awl",@nobits\n.zero 8\n.section .unwind,"a",@unwind\n'
                  '.byte 1\n.section .kept,"awR"\n.byte 1\n')
    if shutil.which("gcc") and subprocess.run(["gcc", "-c", "flags.s", "-o", "gnu.o"], cwd=work,
                                              capture_output=True).returncode == 0:
        with open(os.path.join(work, "gnu.o"), "rb") as gnu:
            data = bytearray(gnu.read())
        data[7] = 0
        with open(os.path.join(work, "sysv.o"), "wb") as out:
            out.write(data)
        files += [os.path.join(work, "gnu.o"), os.path.join(work, "sysv.o")]
    return [f for f in files if f and os.path.isfile(f)]


def check_readelf(work):
    if not shutil.which("readelf"):
        return SKIP
    for path in elf_files(work):
        ours = tessaloom(path)
        text = run_text("readelf", "-W", "-h", "-l", "-S", "-d", path)
        entry = re.search(r"Entry point address:\s+0x([0-9a-f]+)", text)
        expect(f"{path}: entry point", ours.get("entry_point"), int(entry.group(1), 16))
        # readelf names the types it does not know by their range: LOPROC+0x1.
        sections = [(m[2], m[3] if "+" not in m[3] else None, int(m[4], 16), int(m[5], 16),
                     int(m[6], 16), m[7])
                    for m in (SECTION.match(line) for line in text.splitlines()) if m]
        expect(f"{path}: sections (name, type, address, offset, size, flags)",
               [(s["name"], s["type"] if not s["type"].startswith("0x") else None, s["address"],
                 s["offset"], s["size"], s["flags"]) for s in ours["sections"]],
               sections)
        # The bytes a section has in the file: none for NOBITS (.bss), all of them otherwise.
        expect(f"{path}: sections (virtual_size, file_size)",
               [(s["virtual_size"], s["file_size"]) for s in ours["sections"]],
               [(s[4], 0 if s[1] == "NOBITS" else s[4]) for s in sections])
        segments = [(m[1], int(m[2], 16), int(m[3], 16), int(m[4], 16), int(m[5], 16),
                     m[6].replace(" ", "-").replace("E", "X"))
                    for m in (SEGMENT.match(line) for line in text.splitlines()) if m]
        expect(f"{path}: segments", [(s["type"], s["offset"], s["address"], s["size"],
                                      s["memory_size"], s["flags"]) for s in ours["segments"]],
               segments)
        expect(f"{path}: needed libraries", ours["libraries"],
               re.findall(r"\(NEEDED\)\s+Shared library: \[(.*)\]", text))
        interpreter = re.search(r"\[Requesting program interpreter: (.*)\]", text)
        expect(f"{path}: interpreter", ours.get("interpreter"),
               interpreter.group(1) if interpreter else None)
        for section in ours["sections"]:
            if section["file_size"] > 0 and section["entropy"] is None:
                failures.append(f"{path}: section {section['name']} has bytes but no entropy")
        check_symbols(path, ours)
    return 0


SYMBOL_TABLE = re.compile(r"^Symbol table '\.(dynsym|symtab)' contains \d+ entr")
SYMBOL = re.compile(r"^\s*\d+:\s+([0-9a-f]+)\s+(0x[0-9a-f]+|\d+)\s+(\S+)\s+(\S+)\s+(\S+)"
                    r"(?:\s+\[[^]]*\])?\s+(\S+)\s?(.*)$")
SPECIAL_INDEX = {"UND": 0, "ABS": 0xFFF1, "COM": 0xFFF2}


def check_symbols(path, ours):
    """The symbol tables against readelf -sW, the build ID against readelf -n, the version
    definitions and needs against readelf -V."""
    theirs, table = [], None
    for line in run_text("readelf", "-W", "-s", path).splitlines():
        if m := SYMBOL_TABLE.match(line):
            table = m[1]
        elif table and (m := SYMBOL.match(line)):
            index = SPECIAL_INDEX.get(m[6])
            # Of a dynamic symbol readelf writes the version after the name (name@VER,
            # name@@VER, with " (N)" after a needed one); a static table's names may hold an
            # '@' of their own, as the linker wrote them.
            name = re.sub(r"@.*$", "", m[7]) if table == "dynsym" else m[7]
            theirs.append((table, int(m[1], 16), int(m[2], 0), m[3], m[4], m[5],
                           index if index is not None else int(m[6]), name))
    mine = [(s["table"], s["value"], s["size"], s["type"], s["bind"], s["visibility"],
             s["section_index"], s["name"]) for s in ours.get("symbols", [])]
    expect(f"{path}: symbols (table, value, size, type, bind, visibility, index, name)", mine,
           theirs)
    build_id = re.search(r"Build ID: ([0-9a-f]+)", run_text("readelf", "-W", "-n", path))
    expect(f"{path}: build ID",
           [n["build_id"] for n in ours.get("notes", []) if "build_id" in n][:1],
           [build_id.group(1)] if build_id else [])
    versions = run_text("readelf", "-W", "-V", path)
    expect(f"{path}: version definitions",
           [d["name"] for d in ours.get("versions", {}).get("definitions", [])],
           re.findall(r"Rev: 1\s+Flags: [^\n]*?Index: \d+\s+Cnt: \d+\s+Name: (\S+)", versions))


# --- pefile ------------------------------------------------------------------------------------
LIBRARY = r"""
__declspec(dllexport) int add(int a, int b) { return a + b; }
__declspec(dllexport) int twice(int a) { return 2 * a; }
"""
PROGRAM = r"""
#include <windows.h>
__declspec(dllimport) int add(int, int);
int main(void) { Sleep(0); return add(1, 2) == 3 ? 0 : 1; }
"""
# More sections than the 96 that addresses are mapped through; the data of all of them lies
# before the overlay (the symbol table).
MANY_SECTIONS = "".join(f'__attribute__((section(".s{i}"))) int v{i} = {i};\n'
                        for i in range(100)) + "int main(void) { return v7; }\n"


def pe_files(work):
    wine = "/usr/lib/x86_64-linux-gnu/wine"
    files = [f"{wine}/x86_64-windows/{name}" for name in
             ["kernel32.dll", "ntdll.dll", "user32.dll", "msvcrt.dll", "ws2_32.dll", "gdi32.dll",
              "comctl32.dll"]]
    files += sorted(glob.glob(f"{wine}/i386-windows/*.dll"))[:3]
    gcc = shutil.which("x86_64-w64-mingw32-gcc-posix") or shutil.which("x86_64-w64-mingw32-gcc")
    if gcc:
        for name, source in [("add.c", LIBRARY), ("main.c", PROGRAM), ("many.c", MANY_SECTIONS)]:
            with open(os.path.join(work, name), "w") as out:
                out.write(source)
        subprocess.run([gcc, "-shared", "-o", "add.dll", "add.c"], cwd=work, check=True)
        subprocess.run([gcc, "-o", "main.exe", "main.c", "add.dll"], cwd=work, check=True)
        subprocess.run([gcc, "-o", "many.exe", "many.c"], cwd=work, check=True)
        # A CodeView entry in the debug directory, for the build ID.
        subprocess.run([gcc, "-o", "debug.exe", "main.c", "add.dll", "-Wl,--build-id"], cwd=work,
                       check=True)
        files += [os.path.join(work, n) for n in ["add.dll", "main.exe", "many.exe", "debug.exe"]]
        # Stripped, its headers leave room for a Rich header.
        subprocess.run([gcc, "-s", "-shared", "-o", "stripped.dll", "add.c"], cwd=work, check=True)
        files += [with_rich_header(work, os.path.join(work, "stripped.dll")),
                  with_archive(work, os.path.join(work, "main.exe"))]
    return [f for f in files if f and os.path.isfile(f)]


def rotated(value, by):
    by %= 32
    return ((value << by) | (value >> (32 - by))) & 0xFFFFFFFF if by else value


RICH_TOOLS = [(0x0104, 30795, 12), (0x0105, 30795, 3), (0x00FF, 1, 1), (0x0102, 33145, 40)]


def rich_checksum(data, dans, entries):
    """The checksum that the linker keys a Rich header with, computed here from its definition."""
    checksum = dans
    for i in range(dans):
        if not 0x3C <= i < 0x40:
            checksum = (checksum + rotated(data[i], i)) & 0xFFFFFFFF
    for product, build, count in entries:
        checksum = (checksum + rotated(product << 16 | build, count)) & 0xFFFFFFFF
    return checksum


def with_rich_header(work, source):
    """A copy of source whose PE header moves down to make room for a Rich header after the stub."""
    data = bytearray(open(source, "rb").read())
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    sections = struct.unpack_from("<H", data, pe + 6)[0]
    optional = struct.unpack_from("<H", data, pe + 20)[0]
    headers = pe + 24 + optional + 40 * sections
    room = 16 + 8 * len(RICH_TOOLS) + 8
    first = min(struct.unpack_from("<I", data, pe + 24 + optional + 40 * i + 20)[0] or len(data)
                for i in range(sections))
    if headers + room > first:
        return None
    header = data[pe:headers]
    data[pe:headers + room] = bytes(headers + room - pe)
    data[pe + room:pe + room + len(header)] = header
    struct.pack_into("<I", data, 0x3C, pe + room)
    key = rich_checksum(data, pe, RICH_TOOLS)
    words = [0x536E6144 ^ key, key, key, key]
    for product, build, count in RICH_TOOLS:
        words += [(product << 16 | build) ^ key, count ^ key]
    words += [0x68636952, key]
    struct.pack_into(f"<{len(words)}I", data, pe, *words)
    path = os.path.join(work, "rich.dll")
    open(path, "wb").write(data)
    return path


def with_archive(work, source):
    """A copy of source with a ZIP archive appended, as a self-extracting program has it."""
    import zipfile
    path = os.path.join(work, "sfx.exe")
    shutil.copy(source, path)
    with zipfile.ZipFile(path, "a") as archive:
        for name, text in [("readme.txt", "hello\n" * 40), ("bin/tool.dat", "x" * 999)]:
            info = zipfile.ZipInfo(name, date_time=(2021, 3, 4, 5, 6, 8))
            archive.writestr(info, text, compress_type=zipfile.ZIP_DEFLATED)
    return path


def debug_type(number):
    import pefile
    name = pefile.DEBUG_TYPE.get(number)
    return name[len("IMAGE_DEBUG_TYPE_"):].lower() if name else f"unknown {number}"


def check_pe_tables(path, ours, pe):
    import pefile
    expect(f"{path}: checksum", (ours["checksum"]["stored"], ours["checksum"]["computed"]),
           (pe.OPTIONAL_HEADER.CheckSum, pe.generate_checksum()))
    debug = []
    for entry in getattr(pe, "DIRECTORY_ENTRY_DEBUG", []):
        row = {"type": debug_type(entry.struct.Type), "size": entry.struct.SizeOfData,
               "address": entry.struct.AddressOfRawData, "offset": entry.struct.PointerToRawData}
        cv = entry.entry
        if cv is not None and getattr(cv, "CvSignature", None) == b"RSDS":
            row["guid"] = "{%08X-%04X-%04X-%02X%02X-%s}" % (
                cv.Signature_Data1, cv.Signature_Data2, cv.Signature_Data3, cv.Signature_Data4,
                cv.Signature_Data5, cv.Signature_Data6.hex().upper())
            row["age"] = cv.Age
            row["pdb_path"] = name_of(getattr(cv, "PdbFileName", b"").split(b"\0")[0])
        debug.append(row)
    keys = ["type", "size", "address", "offset", "guid", "age", "pdb_path"]
    expect(f"{path}: debug", [{k: d[k] for k in keys if k in d} for d in ours.get("debug", [])],
           debug)
    resources = []
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for kind in (root.entries if root else []):
        kind_name = str(kind.name) if kind.name is not None else \
            pefile.RESOURCE_TYPE.get(kind.id, str(kind.id))
        for name in getattr(kind, "directory", None).entries if hasattr(kind, "directory") else []:
            for language in name.directory.entries if hasattr(name, "directory") else []:
                data = language.data.struct
                try:
                    offset = pe.get_offset_from_rva(data.OffsetToData)
                except pefile.PEFormatError:
                    offset = None
                resources.append((kind_name, str(name.name) if name.name is not None else name.id,
                                  language.id, offset, data.Size))
    expect(f"{path}: resources", [(str(r["type"]), r["name"], r["language"], r["offset"], r["size"])
                                  for r in ours.get("resources", [])], resources)
    manifest = next((r for r in resources if r[0] == "RT_MANIFEST" and r[3] is not None), None)
    if manifest is not None:
        raw = pe.__data__[manifest[3]:manifest[3] + min(manifest[4], 16384)]
        text = raw.removeprefix(b"\xef\xbb\xbf").decode("ascii", "replace").replace("\r\n", "\n")
        if "\ufffd" not in text:
            shown = "".join(c if c == "\n" or 0x20 <= ord(c) < 0x7F else "\\x%02X" % ord(c)
                            for c in text)
            expect(f"{path}: manifest", ours.get("manifest"), shown)
    if hasattr(pe, "VS_FIXEDFILEINFO"):
        fixed = pe.VS_FIXEDFILEINFO[0]

        def dotted(most, least):
            return f"{most >> 16}.{most & 0xFFFF}.{least >> 16}.{least & 0xFFFF}"
        expect(f"{path}: version", (ours["version_info"].get("file_version"),
                                    ours["version_info"].get("product_version")),
               (dotted(fixed.FileVersionMS, fixed.FileVersionLS),
                dotted(fixed.ProductVersionMS, fixed.ProductVersionLS)))
        theirs = {}
        for info in pe.FileInfo[0] if pe.FileInfo else []:
            for table in getattr(info, "StringTable", []) if info.Key == b"StringFileInfo" else []:
                theirs.setdefault(table.LangID.decode(), {}).update(
                    {k.decode(): v.decode() for k, v in table.entries.items()})
        mine = {}
        for text in ours["version_info"]["strings"]:
            mine.setdefault(text["table"], {})[text["key"]] = text["value"]
        expect(f"{path}: version strings", mine, theirs)
    rich = pe.parse_rich_header()
    if rich is not None or "rich_header" in ours:
        values = rich["values"] if rich else []
        expect(f"{path}: Rich header",
               (ours["rich_header"]["key"], [(e["product"], e["build"], e["count"])
                                            for e in ours["rich_header"]["entries"]]),
               (rich["checksum"], [(values[i] >> 16, values[i] & 0xFFFF, values[i + 1])
                                for i in range(0, len(values), 2)]) if rich else None)
        data = open(path, "rb").read()
        entries = [(e["product"], e["build"], e["count"]) for e in ours["rich_header"]["entries"]]
        expect(f"{path}: Rich checksum", ours["rich_header"]["computed_checksum"],
               rich_checksum(data, ours["rich_header"]["offset"], entries))
    tls = getattr(pe, "DIRECTORY_ENTRY_TLS", None)
    if tls is not None and tls.struct.AddressOfCallBacks:
        callbacks = []
        at = tls.struct.AddressOfCallBacks - pe.OPTIONAL_HEADER.ImageBase
        width = 8 if pe.OPTIONAL_HEADER.Magic == 0x20B else 4
        while True:
            value = pe.get_qword_at_rva(at) if width == 8 else pe.get_dword_at_rva(at)
            if not value:
                break
            callbacks.append(value)
            at += width
        expect(f"{path}: TLS callbacks", ours.get("tls_callbacks"), callbacks)
    config = getattr(pe, "DIRECTORY_ENTRY_LOAD_CONFIG", None)
    if config is not None:
        expect(f"{path}: load configuration",
               (ours["load_config"]["size"], ours["load_config"].get("security_cookie")),
               (config.struct.Size, getattr(config.struct, "SecurityCookie", None)))
    if path.endswith("sfx.exe"):
        import zipfile
        with zipfile.ZipFile(path) as archive:
            theirs = [(i.file_size, "%04d-%02d-%02d" % i.date_time[:3],
                       "%02d:%02d" % i.date_time[3:5], i.filename) for i in archive.infolist()]
        expect(f"{path}: appended archive", [(e["length"], e["date"], e["time"], e["name"])
                                             for e in ours.get("overlay_archive", [])], theirs)


def name_of(raw):
    return raw.decode("utf-8", "backslashreplace") if raw is not None else None


def check_pefile(work):
    try:
        import pefile
    except ImportError:
        return SKIP
    files = pe_files(work)
    if not files:
        return SKIP
    for path in files:
        ours = tessaloom(path)
        pe = pefile.PE(path, fast_load=True)
        pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY[d] for d in [
            "IMAGE_DIRECTORY_ENTRY_IMPORT", "IMAGE_DIRECTORY_ENTRY_EXPORT",
            "IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT", "IMAGE_DIRECTORY_ENTRY_RESOURCE",
            "IMAGE_DIRECTORY_ENTRY_DEBUG", "IMAGE_DIRECTORY_ENTRY_TLS",
            "IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG"]])
        expect(f"{path}: format", ours["format"],
               "PE32+" if pe.OPTIONAL_HEADER.Magic == 0x20B else "PE32")
        expect(f"{path}: entry point", ours["entry_point"], pe.OPTIONAL_HEADER.AddressOfEntryPoint)
        expect(f"{path}: overlay", next((f["offset"] for f in ours["fields"]
                                         if f["name"] == "Overlay"), None),
               pe.get_overlay_data_start_offset())
        theirs = [(s.Name.rstrip(b"\0").decode("latin-1"), s.VirtualAddress, s.Misc_VirtualSize,
                   s.PointerToRawData, s.SizeOfRawData, s.Characteristics) for s in pe.sections]
        mine = [(s["name"], s["address"], s["virtual_size"], s["offset"], s["size"],
                 s["raw_flags"]) for s in ours["sections"]]
        # Long names ("/4") are resolved from the COFF string table here, not by pefile.
        expect(f"{path}: sections", [m[1:] if t[0].startswith("/") else m for m, t in
                                     zip(mine, theirs)],
               [t[1:] if t[0].startswith("/") else t for t in theirs])
        for section, s in zip(ours["sections"], pe.sections):
            if s.SizeOfRawData and s.PointerToRawData % 0x200 == 0 and section["entropy"] is not None:
                if abs(section["entropy"] - s.get_entropy()) > 1e-9:
                    failures.append(f"{path}: entropy of {section['name']}: "
                                    f"{section['entropy']} against {s.get_entropy()}")
        if len(pe.sections) > 96:
            continue  # addresses are mapped through the first 96 sections, pefile's through all
        check_pe_tables(path, ours, pe)
        imports = [(name_of(d.dll), [name_of(i.name) if i.name else f"#{i.ordinal}"
                                     for i in d.imports], False)
                   for d in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])]
        imports += [(name_of(d.dll), [name_of(i.name) if i.name else f"#{i.ordinal}"
                                      for i in d.imports], True)
                    for d in getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", [])]
        expect(f"{path}: imports", [(i["library"], i["functions"], i["delay_load"])
                                    for i in ours["imports"]], imports)
        exports = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
        theirs = sorted((e.ordinal, name_of(e.name) or "", e.address)
                        for e in (exports.symbols if exports else []))
        expect(f"{path}: exports",
               sorted((e["ordinal"], e["name"], e["address"]) for e in ours["exports"]), theirs)
    return 0


# --- zipfile -----------------------------------------------------------------------------------
class Unseekable:
    """A file that can only be appended to, so that zipfile writes data descriptors."""

    def __init__(self, out):
        self.out = out

    def write(self, data):
        return self.out.write(data)

    def flush(self):
        self.out.flush()


def zip_files(work):
    import zipfile
    payload = bytes(range(256)) * 40 + b"text " * 500
    made = []
    path = os.path.join(work, "python.zip")
    with zipfile.ZipFile(path, "w") as archive:
        archive.writestr("stored.bin", payload, compress_type=zipfile.ZIP_STORED)
        archive.writestr("deflated.txt", payload, compress_type=zipfile.ZIP_DEFLATED)
        archive.writestr("folder/", b"")
        archive.writestr("n\u00e4me.txt", b"utf-8 name")
        archive.writestr("bzip2.bin", payload, compress_type=zipfile.ZIP_BZIP2)
        archive.comment = b"an archive comment"
    made.append(path)
    path = os.path.join(work, "streamed.zip")
    with open(path, "wb") as out, zipfile.ZipFile(Unseekable(out), "w") as archive:
        archive.writestr("one", payload, compress_type=zipfile.ZIP_DEFLATED)
        with archive.open("two", "w", force_zip64=True) as entry:
            entry.write(payload)
    made.append(path)
    path = os.path.join(work, "stub.zip")
    with open(path, "wb") as out:
        out.write(b"MZ a self-extracting stub " * 40 + open(made[0], "rb").read())
    made.append(path)
    if shutil.which("zip"):
        for name, data in [("a.bin", payload), ("b.txt", b"hello\n")]:
            with open(os.path.join(work, name), "wb") as out:
                out.write(data)
        subprocess.run(["zip", "-q", "-X", "infozip.zip", "a.bin", "b.txt"], cwd=work, check=True)
        subprocess.run(["zip", "-q", "-X", "-fz", "zip64.zip", "a.bin", "b.txt"], cwd=work,
                       check=True)
        subprocess.run("zip -q -X - a.bin b.txt | cat > piped.zip", shell=True, cwd=work,
                       check=True)
        made += [os.path.join(work, n) for n in ["infozip.zip", "zip64.zip", "piped.zip"]]
    return made


def check_zipfile(work):
    import zipfile
    methods = {0: "Stored", 8: "Deflated", 12: "BZIP2", 14: "LZMA"}
    for path in zip_files(work):
        ours = tessaloom(path)
        expect(f"{path}: format", ours["format"], "ZIP")
        theirs = [(i.filename, i.header_offset, i.compress_size, i.file_size,
                   methods.get(i.compress_type), i.CRC, bool(i.flag_bits & 8))
                  for i in zipfile.ZipFile(path).infolist()]
        expect(f"{path}: entries", [(e["name"], e["offset"], e["compressed_size"], e["size"],
                                     e["method"], e["crc32"], e["data_descriptor"])
                                    for e in ours["entries"]], theirs)
    return 0


# --- pngcheck ----------------------------------------------------------------------------------
def chunk(kind, data, crc=None):
    crc = zlib.crc32(kind + data) if crc is None else crc
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", crc)


def png(width, height, colour, depth, rows, extra=b"", interlace=0, bad_crc=False, after=b""):
    header = struct.pack(">IIBBBBB", width, height, depth, colour, 0, 0, interlace)
    data = zlib.compress(b"".join(b"\0" + row for row in rows))
    idat = chunk(b"IDAT", data, 0x12345678 if bad_crc else None)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + extra + idat +
            chunk(b"IEND", b"") + after)


def png_files(work):
    cases = {
        "rgba.png": png(3, 2, 6, 8, [bytes(12), bytes(range(12))]),
        "palette.png": png(4, 1, 3, 8, [bytes([0, 1, 0, 1])],
                           chunk(b"PLTE", bytes([255, 0, 0, 0, 0, 255])) +
                           chunk(b"tEXt", b"Comment\0made for the test")),
        "grey16.png": png(2, 2, 0, 16, [bytes(4), bytes(4)], interlace=1),
        "bad-crc.png": png(1, 1, 0, 8, [b"\x80"], bad_crc=True),
        "trailing.png": png(1, 1, 0, 8, [b"\x80"], after=b"trailing bytes"),
    }
    made = []
    for name, data in cases.items():
        made.append(os.path.join(work, name))
        with open(made[-1], "wb") as out:
            out.write(data)
    return made + sorted(glob.glob("/usr/share/doc/*/*.png") + glob.glob("/usr/share/pixmaps/*.png"))[:4]


def check_pngcheck(work):
    if not shutil.which("pngcheck"):
        return SKIP
    for path in png_files(work):
        ours = tessaloom(path)
        text = run_text("pngcheck", "-v", path)
        # pngcheck gives the offset of each chunk's type, 4 bytes past its length.
        theirs = [(kind, int(at, 16) - 4, int(length))
                  for kind, at, length in re.findall(r"chunk (\w{4}) at offset 0x([0-9a-f]+), length (\d+)", text)]
        expect(f"{path}: chunks", [(c["type"], c["offset"], c["length"]) for c in ours["chunks"]][:len(theirs)],
               theirs)
        expect(f"{path}: chunks with a wrong CRC",
               [c["type"] for c in ours["chunks"] if not c["crc_ok"]],
               re.findall(r"CRC error in chunk (\w{4})", text))
        trailing = any(f["name"] == "Data after IEND" for f in ours["fields"])
        expect(f"{path}: data after IEND", trailing, "additional data after IEND" in text)
    return 0


def main():
    checks = {"readelf": check_readelf, "pefile": check_pefile, "zipfile": check_zipfile,
              "pngcheck": check_pngcheck}
    with tempfile.TemporaryDirectory() as work:
        status = checks[sys.argv[1]](work)
    if status == SKIP:
        print(f"{sys.argv[1]} is not installed: skipped")
        return SKIP
    for failure in failures:
        print("MISMATCH", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
