#!/usr/bin/python3
"""Checks `tessaloom --scan IMAGE --json` and `--carve IMAGE DIR` against objects made by other
programs and planted in random bytes at odd offsets.

    scan_peer_check.py TESSALOOM

The objects come from Python's own gzip, zlib, lzma, bz2, zipfile and tarfile modules, the zstd,
lz4 and cpio programs where the machine has them, and PNG, uImage and device-tree bytes written
here; each must be found at its offset with its format and its exact size, nothing else may be
found in the filler, the image read through a pipe must give the same lines, and --carve must
write each object's bytes, and nothing else. TESSALOOM_EXE
and TESSALOOM_LAUNCHER override the program, as for the other end-to-end tests."""
import bz2
import gzip
import io
import json
import lzma
import os
import random
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
    finally:
        shutil.rmtree(work)
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
