\name{vantrix-package}
\alias{vantrix-package}
\alias{vantrix}
\alias{vantrix_note}
\alias{vantrix_usage_error}
\alias{vantrix_file_error}
\alias{vantrix_memory_error}
\docType{package}
\title{Percolation and cluster analysis of landscape rasters}
\description{
The Vantrix engine for R, with the numbers of the programs
\code{vantrix-percolate}, \code{vantrix-generate} and \code{vantrix-sweep}:
\code{\link{vt_clusters}} (\code{--table}), \code{\link{vt_patches}}
(\code{--patches}), \code{\link{vt_label}} (\code{--cluster-map}),
\code{\link{vt_percolates}}, \code{\link{vt_generate}} and
\code{\link{vt_sweep}}.

A landscape is an integer or double matrix (read in place; \code{NA}, \code{NaN},
non-integral values and \code{nodata} hold no value), a terra
\code{SpatRaster} (the values of one layer, with its coordinate system and
extent, so that areas and lengths are in map units), or file paths (read
by the engine in bands: rasters through GDAL, text grids).
}
\section{Conditions}{
A failure is an error of class \code{vantrix_usage_error} (options the
program refuses, a landscape that is not one), \code{vantrix_file_error}
(a file that cannot be read) or \code{vantrix_memory_error}, each also of
class \code{vantrix_error}, with the program's message. What the programs
say besides (a cover absent from a map, cells a square extent leaves out)
comes as warnings of class \code{vantrix_note}.
}
\examples{
m <- matrix(c(1L, 1L, 0L,
              0L, 1L, 0L,
              0L, 1L, 1L), 3, byrow = TRUE)
vt_percolates(m)
tryCatch(vt_clusters(m, rule = "cluster5"),
         vantrix_usage_error = function(e) conditionMessage(e))
}
