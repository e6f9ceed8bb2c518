#pragma once

#include "clusterrecord.h"
#include "clusterstatistics.h"

#include <QString>
#include <QStringView>

#include <optional>

class WalkGrid;

// The question asked of a landscape: which rule decides whether its habitat
// spans the grid, and in which direction. The one interface the batch and the
// sweep call; it answers on cells and knows no file or reader.
//
// Rules, all on the same square as the walk (side n = number of rows, missing
// cells not habitat), so their answers are comparable on every file:
//  - Walk: the fixed walk of WalkGrid. Either direction is the
//    desktop program's test (the left-to-right phase, then the top-to-bottom
//    phase after resetVisited); one direction is that phase alone on the
//    fresh grid.
//  - Cluster4: complete search, cells joined when they share an edge.
//  - Cluster8: the same, cells also joined when they share a corner.
// A cluster spans when it holds a cell of the left and of the right edge (or
// of the top and of the bottom edge); Either asks for one or the other.
class SpanningRule
{
public:
    enum Kind : quint8 { Walk, Cluster4, Cluster8 };
    enum Direction : quint8 { Either, LeftRight, TopBottom };

    SpanningRule() = default;
    SpanningRule(Kind kind, Direction direction)
        : kind(kind)
        , direction(direction)
    {
    }

    Kind kind = Walk;
    Direction direction = Either;

    // What follows from the rule, stated once. Cells join by edges under the
    // walk and cluster4, by edges and corners under cluster8 (the walk's
    // landscapes are counted by edges).
    ClusterRecord::Connectivity connectivity() const
    {
        return kind == Cluster8 ? ClusterRecord::Eight : ClusterRecord::Four;
    }
    bool asksLeftRight() const { return direction != TopBottom; }
    bool asksTopBottom() const { return direction != LeftRight; }
    // Whether a cluster touching these edges (ClusterRecord::Edge) spans in
    // a direction asked for.
    int answer(quint8 edges) const
    {
        return ((asksLeftRight() && ClusterRecord::spansLeftRight(edges))
                || (asksTopBottom() && ClusterRecord::spansTopBottom(edges)))
                ? 1
                : 0;
    }
    // The cluster rules' answer from what a search found.
    int answer(const ClusterStatistics &found) const
    {
        return ((asksLeftRight() && found.spansLeftRight) || (asksTopBottom() && found.spansTopBottom)) ? 1 : 0;
    }

    // 1 if the grid's habitat spans under this rule, else 0. The walk needs
    // fresh cells (no marks) and leaves its marks in them; the cluster rules
    // count every cell above 0 as habitat (marks included) and only read.
    int test(WalkGrid &grid) const;

    // The names used on command lines and in tables: walk, cluster4,
    // cluster8; either, left-right, top-bottom.
    static QString name(Kind kind);
    static QString name(Direction direction);
    static std::optional<Kind> kindNamed(QStringView name);
    static std::optional<Direction> directionNamed(QStringView name);

    bool operator==(const SpanningRule &other) const
    {
        return kind == other.kind && direction == other.direction;
    }
};
