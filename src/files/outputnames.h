#pragma once

#include <QByteArray>

#include <optional>

// The names of outputs made per landscape file and class from one name
// given: {name} stands for the file's name without its folder and its last
// suffix, {cover} for the class (cover each); with a class and no {cover},
// "-CLASS" goes before the suffix ("map.tif" -> "map-3.tif").
namespace OutputNames {

QByteArray expand(const QByteArray &pattern, const QByteArray &path, const std::optional<qint32> &coverClass);

} // namespace OutputNames
