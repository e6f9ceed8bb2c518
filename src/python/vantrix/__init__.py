"""Vantrix: percolation and cluster analysis of landscape rasters.

The functions run Vantrix's engine, the one of the programs vantrix-percolate,
vantrix-generate and vantrix-sweep, on landscapes in memory or in files, and
give the programs' answers as pandas data frames and NumPy arrays:

    clusters(landscape, ...)    the table of --table: a row per landscape
    patches(landscape, ...)     the table of --patches: a row per patch
    label(landscape, ...)       each cell's patch id or size (--cluster-map)
    percolates(landscape, ...)  whether a cluster spans the landscape
    generate(model, ...)        a neutral landscape of vantrix-generate
    sweep(model, ...)           the table of vantrix-sweep

A landscape is one of:

* a 2-D NumPy array of integers (int8 to uint64), read in place: never
  copied, whatever its memory layout (C or Fortran order, a slice, a view
  with negative strides). bool arrays are read as 0 and 1 (True is class 1).
  Floating-point arrays are taken too, under the rule of rasters: an
  integral value is a class, NaN and any other value holds no value.
* a NumPy masked array: masked cells hold no value.
* an xarray.DataArray of two dimensions (y, x): its values as an array,
  and its georeference for sizes in map units (see below).
* a Dask array (or a DataArray of one), for clusters() and patches(): its
  chunks of rows searched on Dask's workers, each apart, and joined along
  their seams into exactly the table of the array whole; memory per task
  is a chunk. patches() searches the chunks that hold parts of patches
  crossing the seams twice. label() and percolates() gather a Dask array
  in memory first.
* a path to a landscape file (str, bytes or os.PathLike: a text landscape
  or any raster GDAL reads), or a list of paths: read in bands of rows, in
  bounded memory, as the programs read them.

Keyword arguments are the programs' options by name (min_cells is
--min-cells). Failures raise ValueError (options or a landscape the engine
refuses), OSError (a file that cannot be read) or MemoryError, with the
programs' messages; what the programs note on standard error besides (a
cover absent from a map, areas in cells) comes as a VantrixWarning.

While a call reads an array it holds a reference to it and makes it
read-only (flags.writeable is False), restored when the call returns, also
after an error. Calls release the GIL and run on the engine's threads
(jobs=, by default as many as the machine has cores).
"""

from __future__ import annotations

import math
import numbers
import os
import threading
import warnings
from typing import Dict, Iterable, List, Optional, Sequence, Tuple, Union

import numpy as np
import pandas as pd

from . import _vantrix

__all__ = [
    "VantrixWarning",
    "clusters",
    "patches",
    "label",
    "percolates",
    "generate",
    "sweep",
]

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
Landscape = Union[np.ndarray, "np.ma.MaskedArray", "xarray.DataArray", PathLike, Sequence[PathLike]]
Cover = Union[int, str, Iterable[int], range]


class VantrixWarning(UserWarning):
    """A note of the engine: something that changes an answer without being
    a failure (a cover class absent from a map, sizes in cells for a map in
    degrees, ...)."""


# -- arguments -------------------------------------------------------------


def _text(value) -> str:
    if isinstance(value, bool):
        raise ValueError(f"{value!r} is not a number")
    if isinstance(value, numbers.Integral):
        return str(int(value))
    if isinstance(value, numbers.Real):
        return repr(float(value))
    return str(value)


def _cover(cover: Cover) -> str:
    """cover as the command line writes it: 1, "1,3-4", "each"."""
    if isinstance(cover, str):
        return cover
    if isinstance(cover, range):
        if cover.step == 1 and len(cover) > 0:
            return f"{cover.start}-{cover.stop - 1}"
        cover = list(cover)
    if isinstance(cover, numbers.Integral) and not isinstance(cover, bool):
        return str(int(cover))
    try:
        values = list(cover)
    except TypeError:
        raise ValueError(f"cover must be a class value, a list or range of them, or 'each', not {cover!r}") from None
    if not values:
        raise ValueError("cover is an empty list: no class is habitat")
    for value in values:
        if isinstance(value, bool) or not isinstance(value, numbers.Integral):
            raise ValueError(f"cover values are whole numbers, not {value!r}")
    return ",".join(str(int(value)) for value in values)


def _list(values, name: str) -> str:
    if isinstance(values, str):
        return values
    if isinstance(values, numbers.Number):
        return _text(values)
    values = list(values)
    if not values:
        raise ValueError(f"{name} is an empty list")
    return ",".join(_text(value) for value in values)


def _options(**options) -> List[Tuple[str, str]]:
    """The options given (not None) as (command-line name, text) pairs."""
    out = []
    for name, value in options.items():
        if value is None or value is False:
            continue
        out.append((name.replace("_", "-"), "" if value is True else _text(value)))
    return out


def _is_path(value) -> bool:
    return isinstance(value, (str, bytes, os.PathLike))


class _Landscape:
    """A landscape argument sorted out: paths, or an array with its mask,
    nodata and georeference; made read-only while a call runs (a context
    manager)."""

    def __init__(self, landscape, nodata):
        self.paths = None
        self.array = None
        self.mask = None
        self.nodata = nodata
        self.projection = None
        self.transform = None
        self.data_array = None
        self._held: List[np.ndarray] = []

        if _is_path(landscape) or (isinstance(landscape, (list, tuple)) and landscape and all(_is_path(p) for p in landscape)):
            if nodata is not None:
                raise ValueError("nodata is for arrays: a landscape file says its own nodata value")
            paths = [landscape] if _is_path(landscape) else list(landscape)
            self.paths = [os.fsencode(p) for p in paths]
            self.several = not _is_path(landscape)
            return
        self.several = False
        if isinstance(landscape, (list, tuple)):
            raise ValueError("a list as landscape must hold paths; give an array as a NumPy array")
        if type(landscape).__name__ == "DataArray" and hasattr(landscape, "dims"):
            self.data_array = landscape
            landscape = self._from_data_array(landscape)
        if isinstance(landscape, np.ma.MaskedArray):
            mask = np.ma.getmask(landscape)
            self._hold(landscape)
            if mask is not np.ma.nomask:
                mask = np.ma.getmaskarray(landscape)
                if mask.ndim == 2:
                    self.mask = mask
            values = landscape.data
        elif isinstance(landscape, np.ndarray):
            values = landscape
        else:
            raise ValueError(
                f"a landscape is a 2-D NumPy array, a masked array, an xarray.DataArray or a path, "
                f"not {type(landscape).__name__}"
            )
        if values.ndim != 2:
            raise ValueError(f"a landscape array has 2 dimensions (rows, columns), not shape {values.shape}")
        if values.size == 0:
            raise ValueError(f"a landscape array has cells: shape {values.shape} has none")
        if values.dtype == np.bool_:
            self._hold(values)
            values = values.view(np.uint8)
        elif values.dtype.kind not in "iuf":
            raise ValueError(
                f"a landscape array holds integers (int8 to uint64) or floating-point numbers, not {values.dtype}"
            )
        if not values.dtype.isnative:
            values = values.astype(values.dtype.newbyteorder("="))  # the one case read from a copy
        self._hold(values)
        self.array = values

    def _from_data_array(self, data):
        if data.ndim != 2:
            raise ValueError(f"a landscape DataArray has 2 dimensions (y, x), not {data.dims} of shape {data.shape}")
        values = data.values
        if self.nodata is None:
            fill = data.attrs.get("_FillValue", data.attrs.get("nodata"))
            if fill is not None and not (isinstance(fill, float) and math.isnan(fill)):
                self.nodata = fill
        self.projection, self.transform = _georeference(data)
        return values

    def _hold(self, array: np.ndarray):
        self._held.append(array)

    def __enter__(self):
        with _readers_lock:
            for array in self._held:
                key = id(array)
                if key in _readers:
                    _readers[key][0] += 1
                else:
                    _readers[key] = [1, bool(array.flags.writeable)]
                    array.flags.writeable = False
        return self

    def __exit__(self, *exc):
        with _readers_lock:
            for array in self._held:
                key = id(array)
                _readers[key][0] -= 1
                if _readers[key][0] == 0:
                    if _readers.pop(key)[1]:
                        array.flags.writeable = True
        return False

    def arguments(self):
        return (self.paths, self.array, self.mask, self.nodata, self.projection, self.transform)


# The arrays calls are reading (by id: calls in several threads may read
# one array), with how many calls and whether it was writeable before the
# first: the last call to return restores it.
_readers: Dict[int, list] = {}
_readers_lock = threading.Lock()


def _georeference(data) -> Tuple[Optional[str], Optional[List[float]]]:
    """A DataArray's projection (WKT) and geotransform, by the CF and
    rioxarray conventions: the grid mapping coordinate (spatial_ref, or the
    one attrs["grid_mapping"] names) with crs_wkt or spatial_ref and
    GeoTransform; else a transform from evenly spaced 1-D coordinates of
    the cells' centres."""
    projection = None
    transform = None
    names = [data.attrs.get("grid_mapping"), data.encoding.get("grid_mapping"), "spatial_ref"]
    for name in names:
        if name and name in data.coords:
            attrs = data.coords[name].attrs
            projection = attrs.get("crs_wkt") or attrs.get("spatial_ref")
            geotransform = attrs.get("GeoTransform")
            if geotransform is not None:
                numbers_ = [float(v) for v in str(geotransform).split()] if isinstance(geotransform, str) else [float(v) for v in geotransform]
                if len(numbers_) == 6:
                    transform = numbers_
            break
    if transform is None:
        ydim, xdim = data.dims
        if xdim in data.coords and ydim in data.coords:
            x = np.asarray(data.coords[xdim].values, dtype=float)
            y = np.asarray(data.coords[ydim].values, dtype=float)
            if x.ndim == 1 and y.ndim == 1 and len(x) >= 2 and len(y) >= 2:
                dx = np.diff(x)
                dy = np.diff(y)
                if np.allclose(dx, dx[0], rtol=1e-9, atol=0) and np.allclose(dy, dy[0], rtol=1e-9, atol=0) and dx[0] != 0 and dy[0] != 0:
                    transform = [x[0] - dx[0] / 2, float(dx[0]), 0.0, y[0] - dy[0] / 2, 0.0, float(dy[0])]
    return (str(projection) if projection else None), transform


def _warn(notes: List[str]) -> None:
    for note in notes:
        if note.startswith("vantrix: "):
            note = note[len("vantrix: "):]
        warnings.warn(note, VantrixWarning, stacklevel=3)


def _frame(columns: Dict[str, object]) -> pd.DataFrame:
    data = {}
    for name, values in columns.items():
        if isinstance(values, list):
            values = [os.fsdecode(v) for v in values]
        data[name] = values
    return pd.DataFrame(data)


def _percolate_options(cover, rule, direction, extent, band, tile, jobs, **more):
    if extent is None and tile is None:
        extent = "square" if rule == "walk" else "full"
    return _options(cover=_cover(cover), rule=rule, direction=direction, extent=extent, band=band, tile=tile, jobs=jobs, **more)


# -- the calls ---------------------------------------------------------------


def clusters(
    landscape: Landscape,
    cover: Cover = 1,
    rule: str = "cluster4",
    direction: str = "either",
    extent: Optional[str] = None,
    tile: Optional[int] = None,
    lacunarity: Optional[Union[int, Sequence[int]]] = None,
    nodata: Optional[float] = None,
    band: Optional[int] = None,
    jobs: Optional[int] = None,
) -> pd.DataFrame:
    """The statistics of a landscape's clusters: vantrix-percolate's --table.

    A row per landscape (per class with cover="each", per square with tile=),
    with the columns and values the program's table has: whether a cluster
    spans, the habitat's cells and share, the number of clusters, the
    largest, the mean cluster size, and so on (docs/percolate.md). Sizes are
    in map units when the landscape has a projected georeference, else in
    cells. The landscape column names a file's path; an array's is "".

    Arguments:
        landscape: a 2-D integer array (read in place, read-only during the
            call), a masked array, an xarray.DataArray, a path or a list of
            paths (see help(vantrix)).
        cover: the habitat class: a value (1), a list ([41, 42]), a range
            (range(41, 44) is 41 to 43), a text as the command line takes it
            ("41,42-43"), or "each" for every class present on its own.
        rule: "cluster4" (cells joined by edges), "cluster8" (by edges and
            corners) or "walk" (the desktop program's walk).
        direction: "either", "left-right" or "top-bottom".
        extent: "full" (the whole map; the default for the cluster rules) or
            "square" (the square of side the number of rows; the walk's
            default and the only extent it takes). Not with tile=.
        tile: test every complete tile x tile square as a landscape of its own.
        lacunarity: box sides (an int or a list) for gliding-box lacunarity
            columns lacunarity_R.
        nodata: for arrays, the value that holds no value (it must lie in
            the array type's range). A DataArray's attrs["_FillValue"] is
            taken when none is given.
        band: for files, the raster band to read (from 1).
        jobs: the engine's threads (default: the processor cores).

    Returns:
        A pandas.DataFrame, a row per landscape (class, square).

    Raises:
        ValueError for options or arrays the engine refuses, OSError for
        a file that cannot be read, MemoryError.

    Example:
        >>> import numpy as np, vantrix
        >>> grid = (np.random.default_rng(1).random((200, 200)) < 0.6).astype(np.int32)
        >>> table = vantrix.clusters(grid, cover=1, rule="cluster8")
        >>> table[["spans", "clusters", "largest"]]
    """
    options = _percolate_options(cover, rule, direction, extent, band, tile, jobs,
                                 lacunarity=None if lacunarity is None else _list(lacunarity, "lacunarity"))
    if _dask_of(landscape) is not None:
        return _clusters_of_chunks(landscape, nodata, options)
    return _table(_vantrix.clusters, landscape, nodata, options)


def _dask_of(landscape):
    """The Dask array a landscape is (or a DataArray holds), else None."""
    data = landscape.data if type(landscape).__name__ == "DataArray" and hasattr(landscape, "dims") else landscape
    return data if type(data).__module__.startswith("dask.array") else None


class _Chunks:
    """A Dask array's chunks of whole rows, each searched as a band of the
    array on Dask's workers (its georeference and nodata those of the
    array)."""

    def __init__(self, landscape, nodata):
        self.projection = self.transform = None
        array = _dask_of(landscape)
        if array is not landscape:
            if nodata is None:
                fill = landscape.attrs.get("_FillValue", landscape.attrs.get("nodata"))
                if fill is not None and not (isinstance(fill, float) and math.isnan(fill)):
                    nodata = fill
            self.projection, self.transform = _georeference(landscape)
        if array.ndim != 2:
            raise ValueError(f"a landscape array has 2 dimensions (rows, columns), not shape {array.shape}")
        array = array.rechunk({1: -1})  # a band holds whole rows
        self.nodata = nodata
        self.rows = int(array.shape[0])
        self.blocks = array.to_delayed().ravel()
        self.firsts = np.concatenate(([0], np.cumsum(array.chunks[0])[:-1])).tolist()

    def each(self, call, options, parts=None):
        """call (a band's round) on every chunk, on Dask's workers: their
        bytes, in order; with parts, only where a chunk's part is not empty
        (b"" elsewhere)."""
        import dask

        def band(block, first, given):
            source = _Landscape(block, self.nodata)
            with source:
                _, values, mask, value, _, _ = source.arguments()
                return call(values, mask, value, self.projection, self.transform, options, int(first), self.rows,
                            given)

        given = parts if parts is not None else [b""] * len(self.firsts)
        tasks = {i: dask.delayed(band)(block, first, given[i])
                 for i, (block, first) in enumerate(zip(self.blocks, self.firsts))
                 if parts is None or given[i]}
        done = dict(zip(tasks, dask.compute(*tasks.values())))
        return [done.get(i, b"") for i in range(len(self.firsts))]


def _clusters_of_chunks(landscape, nodata, options) -> pd.DataFrame:
    """clusters() of a Dask array: a task per chunk of whole rows gives its
    band's statistics and seams (bytes bounded by the width), and the seams
    are joined, top to bottom, into the table of the array whole."""
    chunks = _Chunks(landscape, nodata)
    columns, notes = _vantrix.clusters_of_bands(chunks.each(_vantrix.clusters_of_band, options), options)
    _warn(notes)
    return _frame(columns)


def _patches_of_chunks(landscape, nodata, options) -> pd.DataFrame:
    """patches() of a Dask array, in two rounds of a task per chunk: its
    seams and the patches it holds whole; then, once the seams are joined,
    the chunks that hold parts of patches crossing them, again, for their
    shares of those patches' distances from their centroids."""
    chunks = _Chunks(landscape, nodata)
    bands = chunks.each(_vantrix.patches_of_band, options)
    parts = _vantrix.patch_parts_of_bands(bands)
    shares = chunks.each(_vantrix.patch_distances_of_band, options, parts)
    columns, notes = _vantrix.patches_of_bands(bands, shares, options)
    _warn(notes)
    return _frame(columns)


def _table(call, landscape, nodata, options) -> pd.DataFrame:
    """A table call on a landscape, its notes as warnings."""
    dask_array = _dask_of(landscape)
    if dask_array is not None:
        # Gathered whole: only clusters() and patches() join the chunks' seams.
        landscape = landscape.copy(data=dask_array.compute()) if dask_array is not landscape else dask_array.compute()
    source = _Landscape(landscape, nodata)
    with source:
        columns, notes = call(*source.arguments(), options)
    _warn(notes)
    return _frame(columns)


def patches(
    landscape: Landscape,
    cover: Cover = 1,
    rule: str = "cluster4",
    direction: str = "either",
    extent: Optional[str] = None,
    min_cells: Optional[int] = None,
    tile: Optional[int] = None,
    nodata: Optional[float] = None,
    band: Optional[int] = None,
    jobs: Optional[int] = None,
) -> pd.DataFrame:
    """Every patch of a landscape: vantrix-percolate's --patches.

    A row per patch (cluster of habitat cells) with the columns of the
    program's patch table: its id (the id label() gives its cells), cells,
    area, perimeter, bounding rows and columns, centroid, radii of gyration,
    shape index, whether it touches the edges and spans. Centroids are in
    the landscape's coordinates when it has a geotransform, areas in map
    units when it has a projected system, else in cells.

    Arguments:
        landscape, cover, rule, direction, extent, tile, nodata, band, jobs:
            as for clusters() (the walk has no patches).
        min_cells: leave out patches of fewer cells (default 1: none).

    Returns:
        A pandas.DataFrame, a row per patch.

    Example:
        >>> table = vantrix.patches("examples/landcover.tif", cover="each", min_cells=10)
        >>> table.groupby("cover")["area"].describe()
    """
    options = _percolate_options(cover, rule, direction, extent, band, tile, jobs, min_cells=min_cells)
    if _dask_of(landscape) is not None:
        return _patches_of_chunks(landscape, nodata, options)
    return _table(_vantrix.patches, landscape, nodata, options)


def label(
    landscape: Landscape,
    cover: Cover = 1,
    rule: str = "cluster4",
    values: str = "id",
    direction: str = "either",
    extent: Optional[str] = None,
    nodata: Optional[float] = None,
    band: Optional[int] = None,
    jobs: Optional[int] = None,
):
    """Each cell's patch: vantrix-percolate's --cluster-map, in memory.

    Arguments:
        landscape: one landscape (an array, masked array, DataArray or one
            path; see clusters()).
        cover, rule, direction, extent, nodata, band, jobs: as for
            clusters(); rule is "cluster4" or "cluster8".
        values: "id" (the patch's id, as patches() numbers them) or "size"
            (the cells of the cell's patch).

    Returns:
        A NumPy array of the landscape's shape, uint32 (uint64 where ids or
        sizes need it): the cell's patch id or size, 0 for a cell that is not
        habitat or holds no value. For a DataArray, a DataArray on the same
        dimensions and coordinates. With cover="each", a dict {class: map}.

    Example:
        >>> ids = vantrix.label(grid, cover=1, rule="cluster8")
        >>> sizes = vantrix.label(grid, values="size")
        >>> (ids == 1).sum() == vantrix.patches(grid, rule="cluster8").cells[0]
    """
    source = _Landscape(landscape, nodata)
    if source.paths is not None and len(source.paths) != 1:
        raise ValueError("label() takes one landscape")
    options = _percolate_options(cover, rule, direction, extent, band, None, jobs, values=values)
    with source:
        maps, notes = _vantrix.label(*source.arguments(), options)
    _warn(notes)
    if source.data_array is not None:
        data = source.data_array
        maps = {key: data.copy(data=value) for key, value in maps.items()}
        for value in maps.values():
            value.attrs = {k: v for k, v in value.attrs.items() if k not in ("_FillValue", "nodata")}
    if isinstance(cover, str) and cover == "each":
        return {int(key): value for key, value in maps.items()}
    if len(maps) != 1:
        raise RuntimeError("the engine made no map")
    return next(iter(maps.values()))


def percolates(
    landscape: Landscape,
    cover: Cover = 1,
    rule: str = "cluster4",
    direction: str = "either",
    extent: Optional[str] = None,
    tile: Optional[int] = None,
    nodata: Optional[float] = None,
    band: Optional[int] = None,
    jobs: Optional[int] = None,
) -> Union[bool, List[bool]]:
    """Whether a cluster of habitat spans the landscape (the program's report).

    Arguments: as for clusters().

    Returns:
        True or False for one landscape; a list in the program's order for a
        list of paths, cover="each" (a value per class) or tile= (a value per
        square).

    Example:
        >>> vantrix.percolates(grid, cover=1, direction="top-bottom")
        True
    """
    options = _percolate_options(cover, rule, direction, extent, band, tile, jobs)
    source = _Landscape(landscape, nodata)
    with source:
        answers, notes = _vantrix.percolates(*source.arguments(), options)
    _warn(notes)
    several = source.several or tile is not None or (isinstance(cover, str) and cover == "each")
    if several:
        return list(answers)
    if len(answers) != 1:
        return list(answers)
    return bool(answers[0])


def generate(
    model: str,
    size: int,
    share: float,
    seed: int,
    replicate: int = 0,
    roughness: Optional[float] = None,
    seed_share: Optional[float] = None,
) -> np.ndarray:
    """A neutral landscape: the cells vantrix-generate writes.

    Arguments:
        model: "random", "fractal" (midpoint displacement) or "clusters"
            (modified random clusters).
        size: the side of the size x size landscape.
        share: the habitat share, 0 to 1.
        seed: the seed (0 to 2**64 - 1); the same seed gives the same
            landscapes everywhere.
        replicate: which landscape of the seed, from 0. vantrix-generate
            numbers its replicates from 1: replicate=k here is the program's
            replicate k + 1 (its file ..._0001 for replicate=0).
        roughness: fractal: the Hurst exponent, 0 (rough) to 1 (smooth).
        seed_share: clusters: the share of cells seeded.

    Returns:
        A size x size uint8 array, 1 for habitat and 0 for matrix.

    Example:
        >>> grid = vantrix.generate("fractal", 256, 0.55, seed=7, roughness=0.8)
        >>> vantrix.percolates(grid)
    """
    if isinstance(replicate, bool) or not isinstance(replicate, numbers.Integral) or replicate < 0:
        raise ValueError(f"replicate is a whole number from 0, not {replicate!r}")
    options = _options(model=model, size=size, share=share, seed=seed, roughness=roughness, seed_share=seed_share)
    return _vantrix.generate(options, int(replicate) + 1)


def sweep(
    model: str,
    size: Union[int, Sequence[int]],
    shares: Union[str, Sequence[float]],
    replicates: int,
    seed: int,
    rule: Union[str, Sequence[str]] = "cluster4",
    direction: str = "either",
    observables: bool = False,
    thresholds: bool = False,
    roughness: Optional[float] = None,
    seed_share: Optional[float] = None,
    jobs: Optional[int] = None,
) -> Union[pd.DataFrame, Tuple[pd.DataFrame, pd.DataFrame]]:
    """Percolation probability over habitat shares: vantrix-sweep's table.

    Generates replicates neutral landscapes per share in memory, tests each
    under the rules and gives the table the program writes: the percolation
    probability (PP) per model, size, rule and share with its 95 % Wilson
    interval (docs/studies.md).

    Arguments:
        model, size, seed, roughness, seed_share: as for generate();
            size may be a list of sizes.
        shares: "FROM:TO:STEP" or a list of shares.
        replicates: landscapes per share.
        rule: a rule or a list of them (cluster4, cluster8, walk).
        direction: "either", "left-right" or "top-bottom".
        observables: add the cluster rules' observables (largest cluster's
            share, clusters per cell, mean finite cluster size, with standard
            errors).
        thresholds: also give each replicate's critical share per cluster
            rule (the program's --thresholds table).
        jobs: threads.

    Returns:
        The table as a DataFrame; with thresholds=True a tuple (table,
        thresholds).

    Example:
        >>> pp = vantrix.sweep("random", 128, "0.5:0.7:0.01", replicates=50, seed=1)
        >>> pp.plot(x="share", y="pp")  # with matplotlib installed
    """
    options = _options(
        model=model,
        size=_list(size, "size"),
        share=_list(shares, "shares"),
        replicates=replicates,
        seed=seed,
        rule=_list(rule, "rule"),
        direction=direction,
        roughness=roughness,
        seed_share=seed_share,
        jobs=jobs,
        observables=bool(observables),
        thresholds=bool(thresholds),
    )
    table, critical, notes = _vantrix.sweep(options)
    _warn(notes)
    if thresholds:
        return _frame(table), _frame(critical)
    return _frame(table)
