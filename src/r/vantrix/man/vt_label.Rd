\name{vt_label}
\alias{vt_label}
\title{Patch maps}
\description{
Each cell's patch id (or patch size), 0 for a cell with a value that is
not habitat and \code{NA} where the landscape has no value: the map of
\code{vantrix-percolate --cluster-map}.
}
\usage{
vt_label(landscape, cover = 1, rule = "cluster4", values = "id",
         extent = NULL, nodata = NULL, jobs = NULL, layer = 1)
}
\arguments{
\item{landscape}{a matrix, a SpatRaster or one file path.}
\item{cover, rule, extent, nodata, jobs, layer}{as in \code{\link{vt_clusters}};
  a cluster rule.}
\item{values}{\code{"id"} (the ids of \code{\link{vt_patches}}) or \code{"size"}.}
}
\value{For a matrix, an integer matrix (double when an id or size exceeds
  2^31 - 1); with \code{cover = "each"} a list of them named by class. For
  a SpatRaster or a path, a SpatRaster on its grid, a layer per class
  (\code{cover_CLASS}) with \code{"each"}. With \code{extent = "square"}
  the map covers the square that was tested.}
\examples{
m <- matrix(c(1L, 1L, 0L,
              0L, 0L, 0L,
              1L, 0L, 1L), 3, byrow = TRUE)
vt_label(m)
vt_label(m, values = "size")
}
