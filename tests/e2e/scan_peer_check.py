#!/usr/bin/python3
"""Checks `tessaloom --scan IMAGE --json` and `--carve IMAGE DIR` against objects made by other
programs and planted in random bytes at odd offsets.

    scan_peer_check.py TESSALOOM

The objects come from Python's own gzip, zlib, lzma, bz2, zipfile and tarfile modules, the zstd,
lz4 and cpio programs where the machine has them, and PNG, uImage and device-tree bytes written
here; each must be found at its offset with its format and its exact size, nothing else may be
found in the filler, the image read through a pipe must give the same lines, and --carve must
write each object's bytes, and nothing else. Then a table of peers, each row where the machine has
its tools: an object made by the peer's own program (mksquashfs, mkimage, dtc, xz, zstd, zip,
cpio), planted in random bytes, whose offset, format, exact size and main fields must be what the
peer's reader (unsquashfs -s, dumpimage -l, fdtdump, xz -l, zstd -l, unzip -l, cpio -t) says, and
whose bytes `file` must name as the same format. Last, where mksquashfs and unsquashfs are
there, an image of a tree made with each compressor they know: --carve must write the names that
`unsquashfs -l` lists (its symbolic links skipped, as for tar) with the tree's bytes, and
--scan --deep must find the gzip member inside one of its files. TESSALOOM_EXE and
TESSALOOM_LAUNCHER override the program, as for the other end-to-end tests."""
import bz2
import gzip
import io
import json
import lzma
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import tarfile
import tempfile
import zipfile
import zlib

failures = []
TEXT = b"".join(b"line %d of the planted text, with some words repeated\n" % i
                for i in range(2000))


def command():
    program = os.environ.get("TESSALOOM_EXE") or sys.argv[1]
    return os.environ.get("TESSALOOM_LAUNCHER", "").split() + [program]


def tool_output(*args, data=None):
    if shutil.which(args[0]) is None:
        return None
    return subprocess.run(args, input=data, capture_output=True, check=True).stdout


def gzip_member():
    out = io.BytesIO()
    with gzip.GzipFile(filename="rootfs.cpio", mode="wb", fileobj=out, mtime=0) as f:
        f.write(TEXT)
    return out.getvalue()


def zip_archive():
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("etc/passwd", b"root:x:0:0::/root:/bin/sh\n")
        z.writestr("readme.txt", TEXT[:5000])
    return out.getvalue()


def tar_archive():
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w", format=tarfile.USTAR_FORMAT) as t:
        for name, body in [("etc/hostname", b"box\n"), ("var/log", TEXT[:3000])]:
            info = tarfile.TarInfo(name)
            info.size = len(body)
            t.addfile(info, io.BytesIO(body))
    return out.getvalue()


def png_image():
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(
            ">I", zlib.crc32(kind + body))
    rows = b"".join(b"\0" + bytes((x * 7 + y) & 0xFF for x in range(16 * 3)) for y in range(16))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 16, 16, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def uimage(payload):
    header = struct.pack(">IIIIIIIBBBB32s", 0x27051956, 0, 0, len(payload), 0x80008000,
                         0x80008000, zlib.crc32(payload), 5, 2, 2, 1, b"Linux-5.4")
    crc = zlib.crc32(header)
    return header[:4] + struct.pack(">I", crc) + header[8:] + payload


def device_tree():
    strings = b"compatible\0"
    struct_block = (struct.pack(">I", 1) + b"\0\0\0\0" + struct.pack(">III", 3, 8, 0)
                    + b"acme,box" + struct.pack(">II", 2, 9))
    header_size = 40
    rsvmap = b"\0" * 16
    off_rsv = header_size
    off_struct = off_rsv + len(rsvmap)
    off_strings = off_struct + len(struct_block)
    total = off_strings + len(strings)
    header = struct.pack(">IIIIIIIIII", 0xD00DFEED, total, off_struct, off_strings, off_rsv, 17,
                         16, 0, len(strings), len(struct_block))
    return header + rsvmap + struct_block + strings


def objects():
    made = [
        ("gzip", gzip_member()),
        ("zlib", zlib.compress(TEXT)),
        ("xz", lzma.compress(TEXT, format=lzma.FORMAT_XZ)),
        ("lzma", lzma.compress(TEXT, format=lzma.FORMAT_ALONE)),
        ("bzip2", bz2.compress(TEXT)),
        ("zip", zip_archive()),
        ("tar", tar_archive()),
        ("png", png_image()),
        ("uimage", uimage(os.urandom(3000))),
        ("fdt", device_tree()),
    ]
    for fmt, args in [("zstd", ["zstd", "-q", "-c"]), ("lz4", ["lz4", "-q", "-c"])]:
        out = tool_output(*args, data=TEXT)
        if out is not None:
            made.append((fmt, out))
    if shutil.which("cpio"):
        work = tempfile.mkdtemp()
        try:
            with open(os.path.join(work, "hostname"), "wb") as f:
                f.write(b"box\n")
            made.append(("cpio", subprocess.run(
                ["cpio", "-o", "-H", "newc", "--quiet"], input=b"hostname\n", cwd=work,
                capture_output=True, check=True).stdout))
        finally:
            shutil.rmtree(work)
    return made


def plant(made, seed):
    rng = random.Random(seed)
    image = bytearray()
    planted = []
    for fmt, data in made:
        image += rng.randbytes(rng.randrange(1000, 70000) | 1)
        planted.append({"offset": len(image), "size": len(data), "format": fmt})
        image += data
    image += rng.randbytes(5003)
    return bytes(image), planted


def in_folder(build):
    """Runs build(folder) in a folder of its own, which is then removed."""
    work = tempfile.mkdtemp()
    try:
        return build(work)
    finally:
        shutil.rmtree(work)


def run_in(folder, *args, data=None):
    return subprocess.run(args, input=data, cwd=folder, capture_output=True,
                          check=True).stdout


def squashfs_pair(work):
    tree = os.path.join(work, "tree")
    os.makedirs(os.path.join(tree, "etc", "init.d"))
    for name, body in [("etc/hostname", b"box\n"), ("etc/init.d/rcS", TEXT[:4000]),
                       ("readme", TEXT)]:
        with open(os.path.join(tree, name), "wb") as f:
            f.write(body)
    run_in(work, "mksquashfs", "tree", "fs", "-comp", "xz", "-nopad", "-noappend", "-quiet")
    data = open(os.path.join(work, "fs"), "rb").read()
    said = run_in(work, "unsquashfs", "-s", "fs").decode()
    want = {"size": int(re.search(r"Filesystem size (\d+) bytes", said)[1]),
            "compression": re.search(r"Compression (\w+)", said)[1],
            "inodes": int(re.search(r"Number of inodes (\d+)", said)[1]),
            "block_size": int(re.search(r"Block size (\d+)", said)[1])}
    return data, want


def uimage_pair(work):
    with open(os.path.join(work, "kernel"), "wb") as f:
        f.write(gzip.compress(TEXT, mtime=0))
    run_in(work, "mkimage", "-A", "arm", "-O", "linux", "-T", "kernel", "-C", "gzip",
           "-a", "0x80008000", "-e", "0x80008040", "-n", "Linux-5.4", "-d", "kernel", "uImage")
    said = run_in(work, "dumpimage", "-l", "uImage").decode()
    kind = re.search(r"Image Type:\s+(\w+) Linux Kernel Image \((\w+) compressed\)", said)
    data_size = int(re.search(r"Data Size:\s+(\d+) Bytes", said)[1])
    want = {"size": 64 + data_size, "data_size": data_size,
            "load_address": int(re.search(r"Load Address:\s+(\w+)", said)[1], 16),
            "entry_point": int(re.search(r"Entry Point:\s+(\w+)", said)[1], 16),
            "description": ['"' + re.search(r"Image Name:\s+(.*)", said)[1].strip() + '"',
                            kind[1], kind[2]]}
    return open(os.path.join(work, "uImage"), "rb").read(), want


def fdt_pair(work):
    with open(os.path.join(work, "box.dts"), "w") as f:
        f.write('/dts-v1/;\n/ { compatible = "acme,box"; model = "Acme Box";\n'
                '  #address-cells = <1>; #size-cells = <1>;\n'
                '  memory@0 { device_type = "memory"; reg = <0 0x1000000>; }; };\n')
    run_in(work, "dtc", "-q", "-I", "dts", "-O", "dtb", "-o", "box.dtb", "box.dts")
    said = run_in(work, "fdtdump", "box.dtb").decode()
    want = {"size": int(re.search(r"totalsize:\s+\w+ \((\d+)\)", said)[1]),
            "version": int(re.search(r"// version:\s+(\d+)", said)[1]),
            "description": ['model "' + re.search(r'model = "([^"]*)"', said)[1] + '"']}
    return open(os.path.join(work, "box.dtb"), "rb").read(), want


def xz_pair(work):
    data = run_in(work, "xz", "-c", "-9", data=TEXT)
    with open(os.path.join(work, "t.xz"), "wb") as f:
        f.write(data)
    line = [l for l in run_in(work, "xz", "-l", "--robot", "t.xz").decode().splitlines()
            if l.startswith("file\t")][0].split("\t")
    return data, {"size": int(line[3]), "uncompressed_size": int(line[4]), "check": line[6]}


def zstd_pair(work):
    # Through a pipe, so that the frame has a window descriptor rather than a content size.
    data = run_in(work, "zstd", "-q", "-19", "-c", data=TEXT)
    with open(os.path.join(work, "t.zst"), "wb") as f:
        f.write(data)
    said = run_in(work, "zstd", "-l", "-v", "t.zst").decode()
    size = int(re.search(r"Compressed Size:.*\((\d+) B\)", said)[1])
    want = {"size": size, "compressed_size": size,
            "window_size": int(re.search(r"Window Size:.*\((\d+) B\)", said)[1])}
    return data, want


def zip_pair(work):
    os.makedirs(os.path.join(work, "etc"))
    for name, body in [("etc/passwd", b"root:x:0:0::/root:/bin/sh\n"), ("readme", TEXT)]:
        with open(os.path.join(work, name), "wb") as f:
            f.write(body)
    run_in(work, "zip", "-q", "-9", "a.zip", "etc/passwd", "readme")
    lines = run_in(work, "unzip", "-l", "a.zip").decode().splitlines()
    names = [l.split()[-1] for l in lines[3:-2]]
    total = int(lines[-1].split()[0])
    want = {"entries": len(names), "first_name": names[0], "uncompressed_size": total}
    return open(os.path.join(work, "a.zip"), "rb").read(), want


def cpio_pair(work):
    for name, body in [("hostname", b"box\n"), ("passwd", b"root:x:0:0::/root:/bin/sh\n")]:
        with open(os.path.join(work, name), "wb") as f:
            f.write(body)
    data = run_in(work, "cpio", "-o", "-H", "newc", "--quiet", data=b"hostname\npasswd\n")
    names = run_in(work, "cpio", "-t", "--quiet", data=data).decode().split()
    return data, {"description": [f"{len(names)} entries", f'first "{names[0]}"']}


# format, the programs the row needs, what makes the object and says what it holds.
PEERS = [
    ("squashfs", ["mksquashfs", "unsquashfs"], squashfs_pair),
    ("uimage", ["mkimage", "dumpimage"], uimage_pair),
    ("fdt", ["dtc", "fdtdump"], fdt_pair),
    ("xz", ["xz"], xz_pair),
    ("zstd", ["zstd"], zstd_pair),
    ("zip", ["zip", "unzip"], zip_pair),
    ("cpio", ["cpio"], cpio_pair),
]

# What `file -b` says of each format.
FILE_SAYS = {"squashfs": "Squashfs filesystem", "uimage": "u-boot legacy uImage",
             "fdt": "Device Tree Blob", "xz": "XZ compressed data", "zstd": "Zstandard",
             "zip": "Zip archive", "cpio": "cpio archive"}


def check_peers(work):
    rows = []
    for fmt, tools, pair in PEERS:
        missing = [tool for tool in tools if shutil.which(tool) is None]
        if missing:
            print(f"peer row {fmt} skipped: no {', '.join(missing)}")
            continue
        data, want = in_folder(pair)
        rows.append((fmt, data, want))
    if not rows:
        return
    image, planted = plant([(fmt, data) for fmt, data, _ in rows], 3)
    path = os.path.join(work, "peers.bin")
    with open(path, "wb") as f:
        f.write(image)
    run = scan(["--scan", path, "--json"])
    hits = {h["offset"]: h for h in map(json.loads, run.stdout.splitlines())}
    for (fmt, data, want), where in zip(rows, planted):
        hit = hits.get(where["offset"])
        if hit is None or hit["format"] != fmt or not hit["size_exact"]:
            failures.append(f"peer {fmt}: not found exactly at {where['offset']}: {hit}")
            continue
        for key, value in want.items():
            got = hit["size"] if key == "size" else hit["fields"].get(key)
            if key == "description":
                absent = [part for part in value if part not in hit["description"]]
                if absent:
                    failures.append(f"peer {fmt}: {absent} not in {hit['description']!r}")
            elif got != value and str(got).lower() != str(value).lower():
                failures.append(f"peer {fmt}: {key} {got!r}, the peer says {value!r}")
        if hit["size"] != len(data):
            failures.append(f"peer {fmt}: size {hit['size']}, made {len(data)} bytes")
        if shutil.which("file"):
            said = subprocess.run(["file", "-b", "-"], input=data, capture_output=True).stdout
            if FILE_SAYS[fmt] not in said.decode():
                failures.append(f"peer {fmt}: file says {said!r}")


def squashfs_tree(root):
    """A tree with a file of several blocks, tails that go to fragments, a file with blocks of
    zeros, an empty file and folder, a folder large enough for an index, a hard link (an inode
    two entries share), a symbolic link and a gzip member inside a file."""
    for folder in ["etc/init.d", "var/empty", "boot", "many"]:
        os.makedirs(os.path.join(root, folder))
    bodies = {"etc/hostname": b"box\n", "etc/init.d/rcS": TEXT[:9000], "readme": TEXT,
              "var/log": b"", "holes": b"\0" * 20000 + TEXT[:500] + b"\0" * 12288,
              "boot/kernel.gz": gzip_member()}
    bodies.update({f"many/entry-with-a-long-name-{i:04d}": b"%d\n" % i for i in range(700)})
    for name, body in bodies.items():
        with open(os.path.join(root, name), "wb") as f:
            f.write(body)
    os.link(os.path.join(root, "readme"), os.path.join(root, "etc", "readme.hard"))
    bodies["etc/readme.hard"] = TEXT
    os.symlink("../readme", os.path.join(root, "etc", "readme.link"))
    return bodies


def carved_tree(folder):
    names = {}
    for at, folders, files in os.walk(folder):
        for name in folders + files:
            path = os.path.join(at, name)
            rel = os.path.relpath(path, folder).replace(os.sep, "/")
            names[rel] = None if os.path.isdir(path) else open(path, "rb").read()
    return names


def check_squashfs_carve(work):
    if shutil.which("mksquashfs") is None or shutil.which("unsquashfs") is None:
        print("squashfs carve check skipped: no mksquashfs or unsquashfs")
        return
    tree = os.path.join(work, "sqtree")
    bodies = squashfs_tree(tree)
    for comp, block in [("gzip", "4096"), ("gzip", "131072"), ("xz", "4096"), ("zstd", "8192"),
                        ("lz4", "4096"), ("lzma", "4096")]:
        image = os.path.join(work, f"fs-{comp}-{block}")
        made = subprocess.run(["mksquashfs", tree, image, "-comp", comp, "-b", block,
                               "-noappend", "-quiet", "-no-progress"], capture_output=True)
        if made.returncode != 0:
            print(f"squashfs carve check {comp}: mksquashfs cannot make it, skipped")
            continue
        listed = subprocess.run(["unsquashfs", "-l", "-d", "root", image], capture_output=True,
                                check=True).stdout.decode().splitlines()
        want = {line[len("root/"):] for line in listed if line.startswith("root/")}
        links = {n for n in want if os.path.islink(os.path.join(tree, n))}
        out = os.path.join(work, f"carved-{comp}-{block}")
        run = scan(["--carve", image, out])
        if run.returncode != 0:
            failures.append(f"squashfs {comp}: --carve status {run.returncode}: {run.stderr!r}")
            continue
        got = carved_tree(os.path.join(out, "0x0.squashfs.d"))
        if set(got) != want - links:
            failures.append(f"squashfs {comp} {block}: carved {sorted(got)}, "
                            f"unsquashfs lists {sorted(want - links)}")
        for name, body in bodies.items():
            if got.get(name) != body:
                failures.append(f"squashfs {comp} {block}: {name} is not the tree's bytes")
        if "symbolic link" not in run.stdout.decode():
            failures.append(f"squashfs {comp} {block}: the link is not said to be skipped")
        deep = scan(["--scan", image, "--deep", "--json"])
        hits = [json.loads(line) for line in deep.stdout.splitlines()]
        if not any(h["format"] == "gzip" and h["path"] and
                   h["path"][-1].get("member") == "boot/kernel.gz" for h in hits):
            failures.append(f"squashfs {comp} {block}: --deep found {hits}")


def scan(args, data=None):
    return subprocess.run(command() + args, input=data, capture_output=True)


def main():
    work = tempfile.mkdtemp()
    try:
        for seed in [1, 2]:
            made = objects()
            image, planted = plant(made, seed)
            path = os.path.join(work, f"image{seed}.bin")
            with open(path, "wb") as f:
                f.write(image)
            run = scan(["--scan", path, "--json"])
            if run.returncode != 0:
                failures.append(f"seed {seed}: status {run.returncode}: {run.stderr!r}")
                continue
            hits = [json.loads(line) for line in run.stdout.splitlines()]
            found = [{"offset": h["offset"], "size": h["size"], "format": h["format"]}
                     for h in hits if h["size_exact"]]
            for want in planted:
                if want not in found:
                    near = [h for h in hits if abs(h["offset"] - want["offset"]) < 64]
                    failures.append(f"seed {seed}: {want} not found exactly; near it: {near}")
            for hit in hits:
                if hit["offset"] not in [p["offset"] for p in planted]:
                    failures.append(f"seed {seed}: a hit in the filler: {hit}")
                if hit["path"] != [] or not hit["description"]:
                    failures.append(f"seed {seed}: path or description: {hit}")
            # Windows has no /dev/stdin.
            piped = None if os.environ.get("TESSALOOM_LAUNCHER") else scan(
                ["--scan", "/dev/stdin", "--json"], image)
            if piped is not None and piped.stdout != run.stdout:
                failures.append(f"seed {seed}: the pipe gave other lines")
            carved = os.path.join(work, f"carved{seed}")
            run = scan(["--carve", path, carved])
            if run.returncode != 0:
                failures.append(f"seed {seed}: --carve status {run.returncode}: {run.stderr!r}")
            for want, (fmt, data) in zip(planted, made):
                name = os.path.join(carved, f"0x{want['offset']:x}.{fmt}")
                if not os.path.exists(name):
                    failures.append(f"seed {seed}: {name} not carved")
                elif open(name, "rb").read() != data:
                    failures.append(f"seed {seed}: {name} is not the planted bytes")
            # Beside the objects: the payloads (.out) and the archives' folders (.d).
            top = [n for n in os.listdir(carved) if not n.endswith((".out", ".d"))]
            if sorted(top) != sorted(
                    f"0x{p['offset']:x}.{p['format']}" for p in planted):
                failures.append(f"seed {seed}: carved {sorted(top)}")
            text = scan(["--scan", path])
            last = text.stdout.decode().splitlines()[-1]
            if last != f"{len(hits)} objects found in {len(image)} bytes":
                failures.append(f"seed {seed}: summary line {last!r}")
        check_peers(work)
        check_squashfs_carve(work)
    finally:
        shutil.rmtree(work)
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
