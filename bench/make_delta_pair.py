#!/usr/bin/env python3
"""Writes two versions of a mixed image for the aligned comparison's benchmark.

    make_delta_pair.py MIB A B [SEED]

A is MIB MiB of bytes from a seeded generator, so every run makes the same pair; B is A with
1,000 scattered byte changes, 20 insertions and 20 deletions of 1 byte to 1 MiB, and 5 blocks of
64 KiB to 4 MiB moved elsewhere (fewer, and smaller, on a small A). B is written from a list of
pieces (stretches of A and new bytes), never held whole.
"""
import random
import sys


def main():
    mib, path_a, path_b = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    seed = int(sys.argv[4]) if len(sys.argv) > 4 else 1
    size = mib << 20
    rng = random.Random(seed)
    with open(path_a, "wb") as out:
        left = size
        while left:
            n = min(left, 8 << 20)
            out.write(rng.randbytes(n))
            left -= n

    # B as pieces: ("a", offset, length) or ("new", bytes).
    pieces = [("a", 0, size)]

    def length(piece):
        return piece[2] if piece[0] == "a" else len(piece[1])

    def split(at):
        """The index of the piece that starts at B offset at, splitting one where needed."""
        pos = 0
        for i, piece in enumerate(pieces):
            n = length(piece)
            if pos == at:
                return i
            if pos < at < pos + n:
                cut = at - pos
                if piece[0] == "a":
                    pieces[i : i + 1] = [("a", piece[1], cut), ("a", piece[1] + cut, n - cut)]
                else:
                    pieces[i : i + 1] = [("new", piece[1][:cut]), ("new", piece[1][cut:])]
                return i + 1
            pos += n
        return len(pieces)

    def total():
        return sum(length(p) for p in pieces)

    largest = max(1, min(1 << 20, size // 64))
    for _ in range(20):
        n = rng.randint(1, largest)
        at = rng.randrange(total() + 1)
        pieces.insert(split(at), ("new", rng.randbytes(n)))
    for _ in range(20):
        n = rng.randint(1, largest)
        at = rng.randrange(max(1, total() - n))
        first, last = split(at), split(at + n)
        del pieces[first:last]
    moved = max(64 << 10, min(4 << 20, size // 16))
    for _ in range(5):
        n = rng.randint(min(64 << 10, moved), moved)
        if total() <= 2 * n:
            break
        at = rng.randrange(total() - n)
        first, last = split(at), split(at + n)
        block = pieces[first:last]
        del pieces[first:last]
        to = split(rng.randrange(total()))
        pieces[to:to] = block
    for _ in range(1000):
        at = rng.randrange(total())
        first, last = split(at), split(at + 1)
        pieces[first:last] = [("new", bytes([rng.randrange(256)]))]

    with open(path_a, "rb") as source, open(path_b, "wb") as out:
        for piece in pieces:
            if piece[0] == "new":
                out.write(piece[1])
                continue
            source.seek(piece[1])
            left = piece[2]
            while left:
                chunk = source.read(min(left, 8 << 20))
                out.write(chunk)
                left -= len(chunk)


if __name__ == "__main__":
    main()
