# The R functions over the engine's calls (src/glue.cpp). Each one turns its
# arguments into the program's options (by their command-line names, values
# as text), hands the landscape over (a matrix read in place, a SpatRaster's
# values with its georeference, or paths streamed by the engine), and turns
# the answer into R values: a failure into a condition of class
# vantrix_<kind>_error, each note into a warning of class vantrix_note.

.onLoad <- function(libname, pkgname) {
    # The engine loads GDAL through a module of its own: the package's copy,
    # unless the environment names another.
    if (!nzchar(Sys.getenv("VANTRIX_GDAL_MODULE"))) {
        module <- system.file("gdal", "libvantrix_gdal.so", package = pkgname, lib.loc = libname)
        if (nzchar(module))
            Sys.setenv(VANTRIX_GDAL_MODULE = module)
    }
}

.vt_error <- function(kind, message, call) {
    structure(class = c(paste0("vantrix_", kind, "_error"), "vantrix_error", "error", "condition"),
              list(message = message, call = call))
}

.vt_usage <- function(message, call) stop(.vt_error("usage", message, call))

# The value of a call's answer; its failure signalled, its notes warned.
.vt_answer <- function(answer, call) {
    if (!is.null(answer$error))
        stop(.vt_error(answer$error, answer$message, call))
    for (note in answer$notes)
        warning(structure(class = c("vantrix_note", "warning", "condition"),
                          list(message = note, call = call)))
    answer$value
}

# A value as the programs take it: numbers in full (no exponent), several
# joined by commas; text as it is.
.vt_text <- function(value, name, call) {
    if (is.logical(value) && length(value) == 1 && !is.na(value))
        return(if (value) "" else NULL)
    if (is.numeric(value) && length(value) >= 1 && !anyNA(value))
        return(paste(trimws(formatC(value, format = "fg", digits = 15)), collapse = ","))
    if (is.character(value) && length(value) >= 1 && !anyNA(value))
        return(paste(value, collapse = ","))
    .vt_usage(sprintf("%s: a number, numbers or text is wanted", name), call)
}

# The options as a named character vector, NULL and FALSE left out, R's
# names (min_cells) as the programs spell them (--min-cells).
.vt_options <- function(options, call) {
    out <- character()
    for (name in names(options)) {
        value <- options[[name]]
        if (is.null(value) || identical(value, FALSE))
            next
        text <- .vt_text(value, name, call)
        out[[gsub("_", "-", name, fixed = TRUE)]] <- trimws(text)
    }
    out
}

.vt_extras <- function(extras, call) {
    if (length(extras) && (is.null(names(extras)) || any(!nzchar(names(extras)))))
        .vt_usage("further options must be named (lacunarity = c(2, 4))", call)
    extras
}

# What the engine reads for landscape: list(landscape =, nodata =, geo =,
# band =, raster =), raster the SpatRaster a map is laid on (or NULL).
.vt_landscape <- function(landscape, layer, nodata, call) {
    if (!is.null(nodata) && !(is.numeric(nodata) && length(nodata) == 1 && !is.na(nodata)))
        .vt_usage("nodata: one number is wanted", call)
    if (!(is.numeric(layer) && length(layer) == 1 && !is.na(layer) && layer >= 1 && layer == floor(layer)))
        .vt_usage("layer: a layer (band) number from 1 is wanted", call)
    if (is.character(landscape) && !is.matrix(landscape)) {
        if (length(landscape) == 0 || anyNA(landscape) || any(!nzchar(landscape)))
            .vt_usage("no landscape given", call)
        if (!is.null(nodata))
            .vt_usage("nodata is for matrices and SpatRasters; a file's own nodata value is used", call)
        return(list(landscape = enc2utf8(landscape), nodata = NULL, geo = NULL,
                    band = if (layer != 1) layer, raster = NULL))
    }
    if (inherits(landscape, "SpatRaster")) {
        if (layer > terra::nlyr(landscape))
            .vt_usage(sprintf("the SpatRaster has %d layer(s), not %d", terra::nlyr(landscape), layer), call)
        raster <- if (terra::nlyr(landscape) == 1) landscape else landscape[[layer]]
        # Its cells row by row, as the columns x rows matrix they make (the
        # engine reads it so, with the georeference that comes with it).
        values <- terra::values(raster, mat = FALSE)
        if (!is.integer(values))
            storage.mode(values) <- "double"
        dim(values) <- c(terra::ncol(raster), terra::nrow(raster))
        e <- as.vector(terra::ext(raster))
        r <- terra::res(raster)
        geo <- list(wkt = terra::crs(raster), transform = c(e[["xmin"]], r[1], 0, e[["ymax"]], 0, -r[2]))
        return(list(landscape = values, nodata = nodata, geo = geo, band = NULL, raster = raster))
    }
    if (!is.matrix(landscape))
        .vt_usage("a landscape is a matrix, a SpatRaster or a file path", call)
    if (is.logical(landscape))
        storage.mode(landscape) <- "integer"
    if (!is.integer(landscape) && !is.double(landscape))
        .vt_usage(sprintf("a landscape matrix holds numbers, not %s values", typeof(landscape)), call)
    if (nrow(landscape) == 0 || ncol(landscape) == 0)
        .vt_usage("the matrix has no cells", call)
    list(landscape = landscape, nodata = nodata, geo = NULL, band = NULL, raster = NULL)
}

# The extent when none is asked for: the whole map for the cluster rules,
# the square for the walk (its only one); none beside tile (squares).
.vt_extent <- function(extent, rule, tile) {
    if (is.null(extent) && is.null(tile)) (if (identical(rule, "walk")) "square" else "full") else extent
}

.vt_table <- function(patches, landscape, options, layer, nodata, call) {
    what <- .vt_landscape(landscape, layer, nodata, call)
    options <- .vt_options(c(options, list(band = what$band)), call)
    .vt_answer(.vt_table_call(what$landscape, what$nodata, what$geo, options, patches), call)
}

vt_clusters <- function(landscape, cover = 1, rule = "cluster4", direction = "either", extent = NULL,
                        tile = NULL, nodata = NULL, jobs = NULL, layer = 1, ...) {
    call <- sys.call()
    options <- c(list(cover = cover, rule = rule, direction = direction, extent = .vt_extent(extent, rule, tile),
                      tile = tile, jobs = jobs), .vt_extras(list(...), call))
    .vt_table(FALSE, landscape, options, layer, nodata, call)
}

vt_patches <- function(landscape, cover = 1, rule = "cluster4", direction = "either", extent = NULL,
                       tile = NULL, nodata = NULL, jobs = NULL, layer = 1, min_cells = 1, ...) {
    call <- sys.call()
    options <- c(list(cover = cover, rule = rule, direction = direction, extent = .vt_extent(extent, rule, tile),
                      tile = tile, jobs = jobs, min_cells = min_cells), .vt_extras(list(...), call))
    .vt_table(TRUE, landscape, options, layer, nodata, call)
}

vt_percolates <- function(landscape, cover = 1, rule = "cluster4", direction = "either", extent = NULL,
                          tile = NULL, nodata = NULL, jobs = NULL, layer = 1, ...) {
    call <- sys.call()
    what <- .vt_landscape(landscape, layer, nodata, call)
    options <- .vt_options(c(list(cover = cover, rule = rule, direction = direction,
                                  extent = .vt_extent(extent, rule, tile), tile = tile, jobs = jobs, band = what$band), .vt_extras(list(...), call)), call)
    .vt_answer(.vt_percolates_call(what$landscape, what$nodata, what$geo, options), call)
}

vt_label <- function(landscape, cover = 1, rule = "cluster4", values = "id", extent = NULL, nodata = NULL,
                     jobs = NULL, layer = 1) {
    call <- sys.call()
    if (is.character(landscape) && length(landscape) != 1)
        .vt_usage("vt_label() labels one landscape", call)
    what <- .vt_landscape(landscape, layer, nodata, call)
    options <- .vt_options(list(cover = cover, rule = rule, values = values, extent = .vt_extent(extent, rule, NULL), jobs = jobs,
                                band = what$band), call)
    maps <- .vt_answer(.vt_label_call(what$landscape, what$nodata, what$geo, options), call)
    each <- !identical(names(maps), "")
    if (is.null(what$raster) && is.character(landscape))
        what$raster <- terra::rast(landscape)
    if (is.null(what$raster))
        return(if (each) maps else maps[[1]])
    # On the input's grid: its origin, cell size and coordinate system (a
    # square extent keeps the first columns).
    grid <- what$raster
    e <- as.vector(terra::ext(grid))
    r <- terra::res(grid)
    layers <- lapply(maps, function(m) {
        terra::rast(m, crs = terra::crs(grid),
                    extent = terra::ext(e[["xmin"]], e[["xmin"]] + ncol(m) * r[1], e[["ymax"]] - nrow(m) * r[2], e[["ymax"]]))
    })
    out <- terra::rast(layers)
    names(out) <- if (each) paste0("cover_", names(maps)) else values
    out
}

vt_generate <- function(model, size, share, seed, replicate = 1, roughness = NULL, seed_share = NULL) {
    call <- sys.call()
    if (!(is.numeric(replicate) && length(replicate) == 1 && !is.na(replicate) && replicate == floor(replicate)))
        .vt_usage("replicate: one whole number from 1 is wanted", call)
    options <- .vt_options(list(model = model, size = size, share = share, seed = seed, roughness = roughness,
                                seed_share = seed_share), call)
    .vt_answer(.vt_generate_call(options, replicate), call)
}

vt_sweep <- function(model, size, shares, replicates, seed, rule = "cluster4", direction = "either",
                     observables = FALSE, thresholds = FALSE, ...) {
    call <- sys.call()
    if (!isTRUE(thresholds) && !isFALSE(thresholds))
        .vt_usage("thresholds: TRUE or FALSE", call)
    options <- .vt_options(c(list(model = model, size = size, share = shares, replicates = replicates, seed = seed,
                                  rule = rule, direction = direction, observables = observables,
                                  thresholds = thresholds), .vt_extras(list(...), call)), call)
    tables <- .vt_answer(.vt_sweep_call(options), call)
    if (thresholds) tables else tables$table
}
