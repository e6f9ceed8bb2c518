\name{vt_percolates}
\alias{vt_percolates}
\title{Whether landscapes span}
\description{
Whether a cluster of habitat joins the edges the direction asks: the
program's report, a logical per landscape tested (and class with
\code{cover = "each"}, square with \code{tile}), in the table's order.
}
\usage{
vt_percolates(landscape, cover = 1, rule = "cluster4", direction = "either",
              extent = NULL, tile = NULL, nodata = NULL, jobs = NULL,
              layer = 1, ...)
}
\arguments{
\item{landscape, cover, rule, direction, extent, tile, nodata, jobs, layer, ...}{as
  in \code{\link{vt_clusters}}.}
}
\value{A logical vector.}
\examples{
vt_percolates(vt_generate("random", 64, 0.7, seed = 1), rule = "cluster4")
}
