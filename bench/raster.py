#!/usr/bin/python3
"""Raster benchmark: vantrix-percolate on a 20000 x 20000 Byte GeoTIFF (tiled
256 x 256, LZW) and a 10000 x 10000 ESRI ASCII grid, each at habitat shares
0.5927 and 0.7, against GDAL's own floor (gdalinfo -checksum of the same file,
with GDAL's default cache and with the 64 MB cache Vantrix sets, and for the
ESRI grid also with the 64-bit reading of values, whose meaning Vantrix keeps)
and against the pipeline a user would script instead (bench/peer_raster.py:
GDAL's Python bindings, scipy.ndimage.label and an edge check). "vantrix
reading" is Vantrix's reading alone (vantrix-gdalbench read: every cell
as habitat or not, no test), the counterpart of gdalinfo -checksum; for an
ESRI grid that is Vantrix's own parser of the values.

    bench/raster [--runs N] [--only SUBSTRING]

The inputs are made once into bench/out/raster/ (random 1 at the share, else
0, from a fixed seed). Prints one table: per input and method the median wall
time of whole processes, its ratio to the floor (gdalinfo -checksum with the
default cache), the peak resident memory (/usr/bin/time -v), bytes of peak
memory per cell, and "others": the cores other processes kept busy on
average while the method ran (all CPU time of the machine, from /proc/stat,
less the method's own), so that a row measured on a busy machine shows it.
Below each input: the Python pipeline's answer against vantrix-percolate
--rule cluster4's (they must be equal), and the walk's answer; for an ESRI
grid, Vantrix's reading beside GDAL's integer floor, its 64-bit reading and
the Python pipeline.
"""
import argparse
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
BUILD = os.environ.get("VANTRIX_BUILD_DIR", os.path.join(TOP, "build"))
PERCOLATE = os.path.join(BUILD, "src", "cli", "vantrix-percolate")
GDALBENCH = os.path.join(BUILD, "bench", "vantrix-gdalbench")
PEER = os.path.join(HERE, "peer_raster.py")
OUT = os.path.join(HERE, "out", "raster")
SHARES = (0.5927, 0.7)
TIFF_SIDE = 20000
ASCII_SIDE = 10000


def inputs():
    """(name, path, cells) of every input, GeoTIFFs first."""
    out = []
    for share in SHARES:
        out.append((f"tif {TIFF_SIDE} share {share}", os.path.join(OUT, f"r{TIFF_SIDE}-{share}.tif"), TIFF_SIDE ** 2))
    for share in SHARES:
        out.append((f"asc {ASCII_SIDE} share {share}", os.path.join(OUT, f"a{ASCII_SIDE}-{share}.asc"), ASCII_SIDE ** 2))
    return out


def random_strip(rng, lines, side, share):
    import numpy as np
    return (rng.random((lines, side), dtype=np.float32) < np.float32(share)).astype(np.uint8)


def make_inputs():
    """Writes the inputs that are missing, each under a temporary name first, so
    that an interrupted run never leaves a partial file under the real name."""
    import numpy as np
    from osgeo import gdal
    gdal.UseExceptions()
    os.makedirs(OUT, exist_ok=True)
    for seed, share in enumerate(SHARES, start=1):
        tif = os.path.join(OUT, f"r{TIFF_SIDE}-{share}.tif")
        if not os.path.exists(tif):
            print(f"writing {tif}", file=sys.stderr, flush=True)
            rng = np.random.default_rng(seed)
            part = tif + ".part"
            ds = gdal.GetDriverByName("GTiff").Create(
                part, TIFF_SIDE, TIFF_SIDE, 1, gdal.GDT_Byte,
                ["TILED=YES", "BLOCKXSIZE=256", "BLOCKYSIZE=256", "COMPRESS=LZW"])
            band = ds.GetRasterBand(1)
            for y in range(0, TIFF_SIDE, 256):
                h = min(256, TIFF_SIDE - y)
                band.WriteArray(random_strip(rng, h, TIFF_SIDE, share), 0, y)
            ds = None
            os.replace(part, tif)
        asc = os.path.join(OUT, f"a{ASCII_SIDE}-{share}.asc")
        if not os.path.exists(asc):
            print(f"writing {asc}", file=sys.stderr, flush=True)
            rng = np.random.default_rng(100 + seed)
            mem = gdal.GetDriverByName("MEM").Create("", ASCII_SIDE, ASCII_SIDE, 1, gdal.GDT_Byte)
            band = mem.GetRasterBand(1)
            for y in range(0, ASCII_SIDE, 1000):
                band.WriteArray(random_strip(rng, 1000, ASCII_SIDE, share), 0, y)
            # The driver's name must say .asc; GDAL writes a .prj beside it only with a projection.
            part = asc[:-4] + ".part.asc"
            gdal.GetDriverByName("AAIGrid").CreateCopy(part, mem)
            mem = None
            os.replace(part, asc)


def busy_jiffies():
    with open("/proc/stat") as f:
        fields = f.readline().split()[1:]
    user, nice, system, idle, iowait, irq, softirq, steal = (int(x) for x in fields[:8])
    return user + nice + system + irq + softirq + steal


def measure(command, runs, env=None):
    """Median wall seconds, peak RSS (MB), others' mean busy cores, and the
    standard output of the last run."""
    walls, peaks, others = [], [], []
    stdout = ""
    hz = os.sysconf("SC_CLK_TCK")
    with tempfile.NamedTemporaryFile(mode="r") as stats:
        for _ in range(runs):
            before = resource.getrusage(resource.RUSAGE_CHILDREN)
            jiffies = busy_jiffies()
            start = time.perf_counter()
            done = subprocess.run(["/usr/bin/time", "-v", "-o", stats.name] + command, env=env,
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=False, text=True)
            wall = time.perf_counter() - start
            jiffies = busy_jiffies() - jiffies
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
            own = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
            others.append(max(0.0, jiffies / hz - own) / wall)
            walls.append(wall)
            stdout = done.stdout
            stats.seek(0)
            for line in stats.read().splitlines():
                if "Maximum resident set size" in line:
                    peaks.append(int(line.split(":")[1]) / 1024.0)
    return statistics.median(walls), max(peaks) if peaks else float("nan"), statistics.median(others), stdout


def answer(stdout, path):
    """The 1 or 0 of path's line in a report."""
    for line in stdout.splitlines():
        if line.startswith(path + "\t"):
            return line.rsplit("\t", 1)[1].strip()
    return "?"


def wait_for_quiet(limit):
    """Waits up to limit seconds for a one-minute load below 1; returns the load."""
    deadline = time.time() + limit
    while True:
        load = os.getloadavg()[0]
        if load < 1.0 or time.time() >= deadline:
            return load
        time.sleep(10)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=5, help="runs per method and input (default 5)")
    parser.add_argument("--only", default="", help="only the inputs whose name holds this")
    parser.add_argument("--wait", type=float, default=300,
                        help="seconds to wait for a one-minute load below 1 before each input (default 300)")
    args = parser.parse_args()
    for program in (PERCOLATE, GDALBENCH):
        if not os.access(program, os.X_OK):
            sys.exit(f"{program} is missing: build it first (scripts/dev bench)")
    make_inputs()

    default_env = dict(os.environ)
    default_env.pop("GDAL_CACHEMAX", None)
    cache64_env = dict(default_env, GDAL_CACHEMAX="64")
    methods = [
        ("vantrix-percolate (walk)", lambda p: [PERCOLATE, "-q", "-c", "1", p], default_env),
        ("vantrix-percolate cluster4", lambda p: [PERCOLATE, "-q", "-c", "1", "--rule", "cluster4", p], default_env),
        ("vantrix reading", lambda p: [GDALBENCH, "read", p, "1"], default_env),
        ("gdalinfo -checksum (floor)", lambda p: ["gdalinfo", "-checksum", p], default_env),
        ("gdalinfo -checksum, cache 64MB", lambda p: ["gdalinfo", "-checksum", p], cache64_env),
        # ESRI grids only: GDAL reading the values exactly as Vantrix has it
        # read them (64-bit floating point: no wrap-around beyond 32 bits, no
        # rounding of large integral values), the floor of that reading.
        ("gdalinfo -checksum, Float64", lambda p: ["gdalinfo", "-checksum", "--config", "AAIGRID_DATATYPE", "Float64", p],
         default_env),
        ("python gdal+scipy", lambda p: ["/usr/bin/python3", PEER, "1", p], default_env),
    ]

    print(f"vantrix-percolate: {PERCOLATE} (built {time.ctime(os.path.getmtime(PERCOLATE))}); "
          f"{args.runs} runs each; cores: {os.cpu_count()}")
    print(f"{'input':24} {'method':32} {'median s':>9} {'/floor':>7} {'peak MB':>8} {'B/cell':>7} {'others':>7}")
    mismatches = 0
    for name, path, cells in inputs():
        if args.only and args.only not in name:
            continue
        load = wait_for_quiet(args.wait)
        rows = []
        answers = {}
        for label, command, env in methods:
            if "Float64" in label and not path.endswith(".asc"):
                continue
            wall, peak, others, stdout = measure(command(path), args.runs, env)
            rows.append((label, wall, peak, others))
            answers[label] = answer(stdout, path)
        floor = next(wall for label, wall, _, _ in rows if label == "gdalinfo -checksum (floor)")
        for label, wall, peak, others in rows:
            print(f"{name:24} {label:32} {wall:9.3f} {wall / floor:7.2f} {peak:8.1f} "
                  f"{peak * 1048576 / cells:7.3f} {others:7.2f}")
        peer, cluster = answers["python gdal+scipy"], answers["vantrix-percolate cluster4"]
        same = peer == cluster and peer in ("0", "1")
        mismatches += not same
        print(f"{name:24} answers: walk {answers['vantrix-percolate (walk)']}, cluster4 {cluster}, python {peer}: "
              f"{'python = cluster4' if same else 'MISMATCH'}; load {load:.2f} before, "
              f"{os.getloadavg()[0]:.2f} after ({os.path.getsize(path) / 1e6:.0f} MB file)")
        if path.endswith(".asc"):
            walls = {label: wall for label, wall, _, _ in rows}
            reading = walls["vantrix reading"]
            print(f"{name:24} ESRI values: Vantrix reads them in {reading:.2f} s, "
                  f"{walls['gdalinfo -checksum (floor)'] / reading:.1f}x faster than GDAL's integer floor "
                  f"({walls['gdalinfo -checksum (floor)']:.2f} s) and "
                  f"{walls['gdalinfo -checksum, Float64'] / reading:.1f}x faster than GDAL's 64-bit reading "
                  f"({walls['gdalinfo -checksum, Float64']:.2f} s); the whole test (cluster4) "
                  f"{walls['vantrix-percolate cluster4']:.2f} s against the Python pipeline's "
                  f"{walls['python gdal+scipy']:.2f} s")
        print(flush=True)
    return 1 if mismatches else 0


if __name__ == "__main__":
    sys.exit(main())
