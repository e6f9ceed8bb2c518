#pragma once

#include <QtGlobal>

#include <limits>
#include <type_traits>

// What a stored value is as a class value, whatever the type it is stored in
// (a raster's band, an array in memory): an integer type's value when it lies
// in the signed 32-bit range; a floating-point value only when it is integral
// and in that range (-0.0 is 0). Anything else (NaN, 1.5, 3e9) is no class
// value: the cell holds none.
template <typename T>
inline bool toInt32(T v, qint32 &out)
{
    if constexpr (std::is_floating_point_v<T>) {
        const double d = double(v);
        if (!(d >= -2147483648.0 && d <= 2147483647.0)) // also NaN
            return false;
        out = qint32(d);
        return double(out) == d;
    } else if constexpr (std::is_signed_v<T>) {
        if (sizeof(T) > 4 && (qint64(v) < std::numeric_limits<qint32>::min() || qint64(v) > std::numeric_limits<qint32>::max()))
            return false;
        out = qint32(v);
        return true;
    } else {
        if (sizeof(T) >= 4 && quint64(v) > quint64(std::numeric_limits<qint32>::max()))
            return false;
        out = qint32(v);
        return true;
    }
}
