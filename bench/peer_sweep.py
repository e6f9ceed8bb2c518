#!/usr/bin/python3
"""The pipeline a user would script instead of vantrix-sweep: random
landscapes from NumPy's generator, habitat clusters labelled with
scipy.ndimage.label (4-neighbour), and an edge check. Prints the number of
landscapes that span (left-right or top-bottom) and the seconds taken.

    peer_sweep.py SIZE REPLICATES SHARE SEED
"""
import sys
import time

import numpy as np

from peer_percolation import spans


def main():
    size, replicates, share, seed = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4])
    rng = np.random.default_rng(seed)
    start = time.perf_counter()
    spanning = sum(spans(rng.random((size, size)) < share) for _ in range(replicates))
    print(spanning, f"{time.perf_counter() - start:.6f}")


if __name__ == "__main__":
    main()
