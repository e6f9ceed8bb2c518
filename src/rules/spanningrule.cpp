#include "spanningrule.h"

#include "clusterscan.h"
#include "walkgrid.h"

int SpanningRule::test(WalkGrid &grid) const
{
    if (kind != Walk)
        return ClusterScan::spans(grid.rows(), connectivity(), asksLeftRight(), asksTopBottom()) ? 1 : 0;
    if (direction == TopBottom)
        return grid.spansTopBottom() ? 1 : 0;
    if (grid.spansLeftRight())
        return 1;
    if (direction == LeftRight)
        return 0;
    // After a left-to-right phase that did not span the queue is empty, so
    // this is the second phase of percolates(); after one that spanned, the
    // answer is 1 whatever that phase would find.
    grid.resetVisited();
    return grid.spansTopBottom() ? 1 : 0;
}

QString SpanningRule::name(Kind kind)
{
    switch (kind) {
    case Walk:
        return QStringLiteral("walk");
    case Cluster4:
        return QStringLiteral("cluster4");
    case Cluster8:
        return QStringLiteral("cluster8");
    }
    return QString();
}

QString SpanningRule::name(Direction direction)
{
    switch (direction) {
    case Either:
        return QStringLiteral("either");
    case LeftRight:
        return QStringLiteral("left-right");
    case TopBottom:
        return QStringLiteral("top-bottom");
    }
    return QString();
}

std::optional<SpanningRule::Kind> SpanningRule::kindNamed(QStringView name)
{
    for (Kind kind : {Walk, Cluster4, Cluster8}) {
        if (name == SpanningRule::name(kind))
            return kind;
    }
    return std::nullopt;
}

std::optional<SpanningRule::Direction> SpanningRule::directionNamed(QStringView name)
{
    for (Direction direction : {Either, LeftRight, TopBottom}) {
        if (name == SpanningRule::name(direction))
            return direction;
    }
    return std::nullopt;
}
