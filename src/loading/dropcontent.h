#pragma once

#include <QString>

class QMimeData;

namespace snapvel {

// What a drop on the viewport asks for. A file list wins over text.
struct DropContent
{
    enum class Kind
    {
        Nothing,
        OpenFile,
        Navigate
    };
    Kind kind = Kind::Nothing;
    QString value; // the first file's path, or the dropped text
};

DropContent dropContentOf(const QMimeData *data);

} // namespace snapvel
