#!/usr/bin/python3
"""Large-map benchmark: a 100,000 x 100,000 (10^10-cell) land-cover-like Byte
GeoTIFF (tiled 256 x 256, DEFLATE; 15 classes in patches, made of 64 kinds of
tile stored once, so that it takes a few MB on disk but decodes as a map of
10^10 cells) through
 - vantrix-percolate --table, the whole map under cluster4, one class, and
   every class (--cover each) on every core;
 - the same with --patches, a row per patch of the whole map;
 - vantrix-percolate --tile 1000 --tile-map, the squares' answers and
   statistics as a map;
 - the whole map's table on one job and on every core (bands of rows joined
   along their seams), and split 16 ways with --rows (16 processes, as many
   at a time as there are cores) and joined with --merge: the merge's share
   of the parts' time and its peak memory;
 - with --random-side, the same tables of a random mosaic at the threshold
   (vantrix-bench-mosaic random), beside GDAL's decode of it;
beside GDAL's own decode of the file (every block read through GDAL's Python
bindings: gdalinfo -checksum dies of a division fault on maps this large in
GDAL 3.6), and GRASS's r.clump on the same map if it completes within
--grass-limit seconds (default 1800; 0 leaves GRASS out).

    bench/largemap [--side CELLS] [--grass-limit SECONDS] [--random-side CELLS] [--skip-patches]

Prints wall time, peak resident memory and the time's ratio to GDAL's decode.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from raster import measure, wait_for_quiet  # noqa: E402

TOP = os.path.dirname(HERE)
BUILD = os.environ.get("VANTRIX_BUILD_DIR", os.path.join(TOP, "build"))
PERCOLATE = os.path.join(BUILD, "src", "cli", "vantrix-percolate")
MOSAIC = os.path.join(BUILD, "bench", "vantrix-bench-mosaic")
OUT = os.path.join(HERE, "out", "largemap")

DECODE = """
import sys
from osgeo import gdal
gdal.UseExceptions()
dataset = gdal.Open(sys.argv[1])  # held: a band outlives no dataset in GDAL's bindings
band = dataset.GetRasterBand(1)
bx, by = band.GetBlockSize()
total = 0
for y in range((band.YSize + by - 1) // by):
    for x in range((band.XSize + bx - 1) // bx):
        total += len(band.ReadBlock(x, y))
print(total)
"""


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--side", type=int, default=100000)
    parser.add_argument("--grass-limit", type=int, default=1800)
    parser.add_argument("--wait", type=float, default=300)
    parser.add_argument("--random-side", type=int, default=0)
    parser.add_argument("--skip-patches", action="store_true")
    args = parser.parse_args()
    for program in (PERCOLATE, MOSAIC):
        if not os.access(program, os.X_OK):
            sys.exit(f"{program} is missing: build it first (scripts/dev bench)")
    os.makedirs(OUT, exist_ok=True)
    path = os.path.join(OUT, f"landcover-{args.side}.tif")
    if not os.path.exists(path):
        subprocess.run([MOSAIC, "landcover", str(args.side), path], check=True)
    cells = args.side * args.side
    print(f"{path}: {args.side} x {args.side} = {cells:.3g} cells, {os.path.getsize(path) / 1e6:.1f} MB on disk; "
          f"cores: {os.cpu_count()}")
    print(f"{'method':52} {'wall s':>8} {'x decode':>9} {'peak MB':>8} {'ns/cell':>8}")
    load = wait_for_quiet(args.wait)
    rows = []
    with tempfile.TemporaryDirectory(dir=OUT) as work:
        wall, peak, _, out = measure(["/usr/bin/python3", "-c", DECODE, path], 1)
        if not out.strip().isdigit() or int(out) < cells:  # edge blocks come whole, padded
            sys.exit(f"GDAL's decode failed: it read {out.strip() or 'nothing'} of {cells} cells")
        rows.append(("GDAL decode, every block (Python bindings)", wall, peak))
        table = os.path.join(work, "whole.tsv")
        cores = os.cpu_count()
        for jobs in (1, cores):
            wall, peak, _, _ = measure([PERCOLATE, "-q", "-j", str(jobs), "--rule", "cluster4", "--extent", "full",
                                        "--cover", "8", "--table", table, "-o", "/dev/null", path], 1)
            rows.append((f"vantrix --table, whole map, cluster4, class 8, -j {jobs}", wall, peak))
            with open(table) as f:
                if jobs == 1:
                    whole = f.read().splitlines()
                elif f.read().splitlines() != whole:
                    sys.exit(f"-j {jobs} gave another table than -j 1")
        wall, peak, _, _ = measure([PERCOLATE, "-q", "-j", str(cores), "--rule", "cluster4", "--extent", "full",
                                    "--cover", "each", "--table", table, "-o", "/dev/null", path], 1)
        rows.append((f"vantrix --table, whole map, cluster4, each class, -j {cores}", wall, peak))
        rows += rows_split(path, work, whole, ["--rule", "cluster4", "--extent", "full", "--cover", "8"], cells)
        if args.random_side:
            rows += random_mosaic(args.random_side, work)
        patches = os.path.join(work, "patches.tsv")
        if not args.skip_patches:
            wall, peak, _, _ = measure([PERCOLATE, "-q", "--rule", "cluster4", "--extent", "full", "--cover", "8",
                                        "--table", table, "--patches", patches, "-o", "/dev/null", path], 1)
            with open(patches, "rb") as f:
                found = sum(1 for _ in f) - 1
            rows.append((f"vantrix --table --patches ({found} patches), class 8", wall, peak))
            os.remove(patches)
        tiles = os.path.join(work, "tiles.tif")
        wall, peak, _, _ = measure([PERCOLATE, "-q", "--rule", "cluster4", "--cover", "8", "--tile", "1000",
                                    "--table", os.path.join(work, "tiles.tsv"), "--tile-map", tiles,
                                    "-o", "/dev/null", path], 1)
        rows.append(("vantrix --tile 1000 --tile-map --table, class 8", wall, peak))
        grass = None
        if args.grass_limit > 0 and shutil.which("grass"):
            script = ("r.external --q -o input={p} output=m && g.region raster=m && "
                      "r.mapcalc --q 'h = if(m==8,1,null())' && r.clump --q input=h output=c && "
                      "r.info -r c").format(p=path)
            command = ["timeout", "--signal=KILL", str(args.grass_limit), "bash", "-c",
                       f"db=$(mktemp -d -p {work}) && grass -c {path} $db/loc --exec bash -c \"{script}\"; "
                       "status=$?; rm -rf $db; exit $status"]
            start = time.perf_counter()
            wall, peak, _, out = measure(command, 1)
            grass = "completed" if wall < args.grass_limit - 1 else f"stopped at {args.grass_limit} s"
            rows.append((f"GRASS r.external + r.mapcalc + r.clump ({grass})", wall, peak))
    decode = rows[0][1]
    for row in rows:
        label, wall, peak = row[:3]
        base, n = (row[3], row[4]) if len(row) > 3 else (decode, cells)
        print(f"{label:64} {wall:8.1f} {wall / base:9.2f} {peak:8.0f} {wall * 1e9 / n:8.2f}")
    print(f"whole-map row: {whole[1] if len(whole) > 1 else '(none)'}")
    print(f"load {load:.2f} before, {os.getloadavg()[0]:.2f} after")
    return 0


def rows_split(path, work, whole, options, cells, parts=16):
    """The map's table split into `parts` --rows parts, run as many at a
    time as there are cores (one job each), then merged: the parts' total
    wall time, the merge's, and the merge's peak memory."""
    names = [os.path.join(work, f"rows-{k:02d}-of-{parts}.txt") for k in range(1, parts + 1)]
    commands = [[PERCOLATE, "-q", "-j", "1", *options, "--rows", f"{k}/{parts}", "--table", name, path]
                for k, name in zip(range(1, parts + 1), names)]
    start = time.perf_counter()
    running, total, peak = [], 0.0, 0
    with ThreadPoolExecutor(max_workers=os.cpu_count()) as pool:
        for wall, high, _, _ in pool.map(lambda c: measure(c, 1), commands):
            total += wall
            peak = max(peak, high)
    elapsed = time.perf_counter() - start
    merged = os.path.join(work, "merged.tsv")
    wall, high, _, _ = measure([PERCOLATE, "--merge", *names, "-o", merged], 1)
    with open(merged) as f:
        if f.read().splitlines() != whole:
            sys.exit("the merged --rows parts are not the one run's table")
    size = max(os.path.getsize(n) for n in names)
    for name in names:
        os.remove(name)
    return [(f"{parts} --rows parts, {os.cpu_count()} at a time (sum of walls {total:.1f} s)", elapsed, peak),
            (f"--merge of the {parts} parts (largest {size / 1e6:.2f} MB): x sum of parts", wall, high, total, cells)]


def random_mosaic(side, work):
    """A random mosaic at the threshold: GDAL's decode and the table on one
    job and on every core, relative to that decode."""
    path = os.path.join(OUT, f"random-{side}.tif")
    if not os.path.exists(path):
        subprocess.run([MOSAIC, "random", str(side), "0.5927", path], check=True)
    cells = side * side
    rows = []
    decode, peak, _, _ = measure(["/usr/bin/python3", "-c", DECODE, path], 1)
    rows.append((f"random {side}^2 at 0.5927: GDAL decode", decode, peak, decode, cells))
    table = os.path.join(work, "random.tsv")
    for jobs in (1, os.cpu_count()):
        wall, peak, _, _ = measure([PERCOLATE, "-q", "-j", str(jobs), "--rule", "cluster4", "--extent", "full",
                                    "--cover", "1", "--table", table, "-o", "/dev/null", path], 1)
        rows.append((f"random {side}^2: vantrix --table -j {jobs} (x its decode)", wall, peak, decode, cells))
    return rows


if __name__ == "__main__":
    sys.exit(main())
