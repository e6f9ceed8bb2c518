#pragma once

#include <QtGlobal>

#include <vector>

// Union-find over indices into parent (parent[i] == i: a root), as the
// cluster search and the joins of its bands' seams use it.
namespace UnionFind {

// The root of i, halving the path walked.
inline quint32 findRoot(quint32 *parent, quint32 i)
{
    while (parent[i] != i) {
        const quint32 up = parent[parent[i]];
        parent[i] = up;
        i = up;
    }
    return i;
}

inline quint32 findRoot(std::vector<quint32> &parent, quint32 i)
{
    return findRoot(parent.data(), i);
}

// Joins the sets of a and b under the smaller of their roots.
inline void unite(std::vector<quint32> &parent, quint32 a, quint32 b)
{
    const quint32 x = findRoot(parent, a);
    const quint32 y = findRoot(parent, b);
    if (x != y)
        parent[x > y ? x : y] = x < y ? x : y;
}

} // namespace UnionFind
