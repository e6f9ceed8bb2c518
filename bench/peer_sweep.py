#!/usr/bin/python3
"""The pipeline a user would script instead of vantrix-sweep: random
landscapes from NumPy's generator, habitat clusters labelled with
scipy.ndimage.label (4-neighbour) at every share, and an edge check. Prints
the number of landscapes that span (left-right or top-bottom) at each share
and the seconds taken.

    peer_sweep.py SIZE REPLICATES SHARE[,SHARE...] SEED
"""
import sys
import time

import numpy as np

from peer_percolation import spans


def main():
    size, replicates, seed = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[4])
    shares = [float(s) for s in sys.argv[3].split(",")]
    rng = np.random.default_rng(seed)
    start = time.perf_counter()
    spanning = [0] * len(shares)
    for _ in range(replicates):
        values = rng.random((size, size))
        for i, share in enumerate(shares):
            spanning[i] += spans(values < share)
    print(",".join(str(s) for s in spanning), f"{time.perf_counter() - start:.6f}")


if __name__ == "__main__":
    main()
