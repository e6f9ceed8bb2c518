#include "outputnames.h"

namespace OutputNames {

QByteArray expand(const QByteArray &pattern, const QByteArray &path, const std::optional<qint32> &coverClass)
{
    QByteArray name = pattern;
    QByteArray stem = path.mid(path.lastIndexOf('/') + 1);
    if (const qsizetype dot = stem.lastIndexOf('.'); dot > 0)
        stem.truncate(dot);
    name.replace("{name}", stem);
    if (coverClass) {
        const QByteArray value = QByteArray::number(*coverClass);
        if (name.contains("{cover}")) {
            name.replace("{cover}", value);
        } else {
            const qsizetype slash = name.lastIndexOf('/');
            const qsizetype dot = name.lastIndexOf('.');
            const qsizetype at = dot > slash + 1 ? dot : name.size();
            name.insert(at, '-' + value);
        }
    }
    return name;
}

} // namespace OutputNames
