# vt_clusters() against terra on a land-cover map of 4000 x 3000 cells: the
# cluster statistics of every class (cover = "each", cells joined by edges,
# the whole map) in one call, against terra's patches() + freq() per class.
# Times are the least of several runs (terra's: of fewer, it is slow).
#
#   R_LIBS=build/r/library Rscript bench/r-bindings.R [examples/landcover.tif]
suppressPackageStartupMessages({
    library(vantrix)
    library(terra)
})

args <- commandArgs(trailingOnly = TRUE)
source_map <- if (length(args)) args[1] else "examples/landcover.tif"
runs <- as.integer(Sys.getenv("VANTRIX_BENCH_RUNS", "3"))
terra_runs <- as.integer(Sys.getenv("VANTRIX_BENCH_TERRA_RUNS", "1"))
terra_all <- identical(Sys.getenv("VANTRIX_BENCH_TERRA_CLASSES"), "all")

# The bundled map (192 x 256) repeated, mirrored at every seam so that its
# patches continue across, to 3000 rows x 4000 columns, with its cell size
# and coordinate system.
small <- rast(source_map)
m <- as.matrix(small, wide = TRUE)
mirror <- function(n, size) {
    i <- (seq_len(n) - 1) %% (2 * size)
    ifelse(i < size, i + 1, 2 * size - i)
}
big <- m[mirror(3000, nrow(m)), mirror(4000, ncol(m))]
landcover <- rast(big, crs = crs(small),
                  extent = ext(xmin(small), xmin(small) + 4000 * res(small)[1],
                               ymax(small) - 3000 * res(small)[2], ymax(small)))
classes <- sort(unique(as.vector(big)))
cat(sprintf("land cover: %d rows x %d columns, %d classes (%s), %s\n", nrow(landcover), ncol(landcover),
            length(classes), paste(classes, collapse = ","), crs(landcover, describe = TRUE)$name))
cat(sprintf("R %s, terra %s, vantrix %s, %d cores\n", getRversion(), packageVersion("terra"),
            packageVersion("vantrix"), parallel::detectCores()))

least <- function(n, expr) {
    expr <- substitute(expr)
    times <- numeric(n)
    for (i in seq_len(n)) {
        gc(FALSE)
        times[i] <- system.time(value <- eval(expr, parent.frame()))[["elapsed"]]
    }
    list(time = min(times), value = value)
}

vt <- least(runs, vt_clusters(landcover, cover = "each", extent = "full"))
vt_matrix <- least(runs, vt_clusters(big, cover = "each", extent = "full"))

one <- least(runs, vt_clusters(landcover, cover = classes[1], extent = "full"))

terra_classes <- if (terra_all) classes else classes[1]
terra_each <- function() {
    lapply(terra_classes, function(k) {
        p <- patches(landcover == k, directions = 4, zeroAsNA = TRUE)
        f <- freq(p)
        data.frame(cover = k, clusters = nrow(f), largest = max(f$count))
    })
}
message("terra on ", length(terra_classes), " class(es) ...")
tr <- least(terra_runs, do.call(rbind, terra_each()))
terra_every <- tr$time * length(classes) / length(terra_classes)

cat("\nclusters and largest patch per class (vantrix | terra):\n")
both <- merge(vt$value[, c("cover", "clusters", "largest")], tr$value, by = "cover", suffixes = c("", ".terra"))
print(both, row.names = FALSE)
same <- all(both$clusters == both$clusters.terra & both$largest == both$largest.terra)
cat(sprintf("\nagree: %s\n", same))
cat(sprintf("vt_clusters(SpatRaster, cover = \"each\"):  %8.3f s (least of %d; reading its values from terra included)\n",
            vt$time, runs))
cat(sprintf("vt_clusters(matrix, cover = \"each\"):      %8.3f s (least of %d; the matrix read in place)\n",
            vt_matrix$time, runs))
cat(sprintf("vt_clusters(SpatRaster, cover = %d):        %8.3f s (least of %d)\n", classes[1], one$time, runs))
cat(sprintf("terra patches() + freq(), %s:      %8.3f s (%d run)\n",
            if (terra_all) "every class" else sprintf("class %d", classes[1]), tr$time, terra_runs))
if (!terra_all)
    cat(sprintf("terra, every class (%d x class %d):         %8.3f s (estimated)\n", length(classes), classes[1], terra_every))
cat(sprintf("speed-up, every class: %.0fx (SpatRaster), %.0fx (matrix)%s\n", terra_every / vt$time,
            terra_every / vt_matrix$time, if (terra_all) "" else " (terra's time estimated from one class)"))
cat(sprintf("speed-up, one class: %.0fx\n", tr$time / length(terra_classes) * 1 / one$time))
