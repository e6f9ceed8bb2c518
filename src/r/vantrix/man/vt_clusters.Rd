\name{vt_clusters}
\alias{vt_clusters}
\title{Cluster statistics of landscapes}
\description{
The statistics of the habitat clusters of every landscape (and cover
class, and square with \code{tile}): the rows and columns of
\code{vantrix-percolate --table}, with the values it writes.
}
\usage{
vt_clusters(landscape, cover = 1, rule = "cluster4", direction = "either",
            extent = NULL, tile = NULL, nodata = NULL, jobs = NULL,
            layer = 1, ...)
}
\arguments{
\item{landscape}{an integer or double matrix, a terra \code{SpatRaster}, or
  file paths.}
\item{cover}{the habitat: a class value, several (\code{c(1, 3)}, \code{1:4},
  all of them one habitat), text as the program takes it (\code{"41-43"}), or
  \code{"each"} for a row per class.}
\item{rule}{\code{"cluster4"}, \code{"cluster8"} or \code{"walk"}.}
\item{direction}{\code{"either"}, \code{"left-right"} or \code{"top-bottom"}.}
\item{extent}{\code{"full"} (rows x columns; \code{NULL} means it under the
  cluster rules) or \code{"square"} (the square of side the number of rows;
  \code{NULL} means it under the walk). Not with \code{tile}.}
\item{tile}{a side: every complete square of that side on its own.}
\item{nodata}{for a matrix or SpatRaster: a value that holds no value.}
\item{jobs}{threads (files at a time); default the number of cores.}
\item{layer}{the layer of a SpatRaster, the band of a raster file.}
\item{...}{further options of \code{vantrix-percolate} by name, such as
  \code{lacunarity = c(2, 4, 8)}.}
}
\value{A data.frame with the table's columns; \code{landscape} is the path,
  or \code{""} for a matrix or SpatRaster. Counts are integers, or doubles
  (exact below 2^53) when one exceeds R's integers.}
\examples{
lc <- system.file("extdata", "landcover.tif", package = "vantrix")
classes <- vt_clusters(lc, cover = "each", extent = "full")
classes[, c("cover", "habitat", "clusters", "largest_share")]
}
