#pragma once

#include "platform/result.h"

#include <QByteArray>
#include <QSize>
#include <QString>
#include <QStringList>

#include <optional>

namespace snapvel::cli {

// The kinds of picture file the command writes.
enum class OutputFormat
{
    Png,
    Jpeg,
    Bmp,
    Webp,
};

// The format a file name extension or a --format value names (png, jpg,
// jpeg, bmp, webp, in any case); none for anything else.
std::optional<OutputFormat> formatNamed(const QString &name);

// The extension given to files of the format, without the dot.
QString extensionOf(OutputFormat format);

// Whether the format can be written here: JPEG and WebP come from Qt's image
// plugins, which may be missing. The failure says which formats can be.
Status checkAvailable(OutputFormat format);

// The name Qt's image writers know the format by; empty for BMP, which the
// program's own streaming writer writes without a plugin.
QByteArray qtFormatOf(OutputFormat format);

// The formats that can be written here, by extension ("png, jpg, bmp").
QStringList availableFormatNames();

// Whether --quality means anything for the format, and what it is without it.
bool takesQuality(OutputFormat format);
int defaultQuality(OutputFormat format);

// Why a file of the format cannot hold a picture of width x height pixels
// (its largest side is smaller), in plain words without a full stop; empty
// when it can.
QString sideLimitExceeded(OutputFormat format, qint64 width, qint64 height);

} // namespace snapvel::cli
