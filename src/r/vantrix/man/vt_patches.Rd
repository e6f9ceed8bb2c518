\name{vt_patches}
\alias{vt_patches}
\title{Patches of landscapes}
\description{
A row per patch (cluster of habitat) of every landscape: the rows and
columns of \code{vantrix-percolate --patches}.
}
\usage{
vt_patches(landscape, cover = 1, rule = "cluster4", direction = "either",
           extent = NULL, tile = NULL, nodata = NULL, jobs = NULL,
           layer = 1, min_cells = 1, ...)
}
\arguments{
\item{landscape, cover, rule, direction, extent, tile, nodata, jobs, layer, ...}{as
  in \code{\link{vt_clusters}} (cluster rules only).}
\item{min_cells}{patches of fewer cells are left out (they keep their ids).}
}
\value{A data.frame with the columns of \code{--patches}: areas, perimeter
  lengths and centroid coordinates are in map units for a SpatRaster or a
  georeferenced file, in cells (and \code{NA} coordinates) for a matrix.}
\examples{
m <- matrix(c(1, 1, 0, 1,
              0, 0, 0, 1,
              1, 0, 1, 1), 3, byrow = TRUE)
vt_patches(m, extent = "full")[, c("id", "cells", "perimeter", "touches")]
}
