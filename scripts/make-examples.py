#!/usr/bin/env python3
"""Writes the example landscapes in examples/: 64 x 64 grids of 1 (habitat)
and 0 at habitat shares below, near and above the percolation threshold of
about 0.5927, one with a blank after every value and one without, plus one
that uses class values 0..9 for trying other cover values."""
import os
import random

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, os.pardir, "examples")
SIDE = 64


def write(name, rows, trailing_blank):
    with open(os.path.join(OUT, name), "w", newline="\n") as f:
        for row in rows:
            line = " ".join(str(v) for v in row)
            f.write(line + (" \n" if trailing_blank else "\n"))


def binary(share, rng):
    return [[1 if rng.random() < share else 0 for _ in range(SIDE)] for _ in range(SIDE)]


def main():
    os.makedirs(OUT, exist_ok=True)
    rng = random.Random(59)
    write("cover-0.45.txt", binary(0.45, rng), True)
    write("cover-0.59.txt", binary(0.5927, rng), True)
    write("cover-0.59-no-trailing-blank.txt", binary(0.5927, rng), False)
    write("cover-0.75.txt", binary(0.75, rng), True)
    write("classes-0-9.txt", [[rng.randrange(10) for _ in range(SIDE)] for _ in range(SIDE)], True)


if __name__ == "__main__":
    main()
