#include "cli/outputformat.h"

#include <QImageWriter>

#include <limits>

namespace snapvel::cli {

namespace {

constexpr OutputFormat kAllFormats[] = {OutputFormat::Png, OutputFormat::Jpeg, OutputFormat::Bmp,
                                        OutputFormat::Webp};

bool isAvailable(OutputFormat format)
{
    const QByteArray name = qtFormatOf(format);
    return name.isEmpty() || QImageWriter::supportedImageFormats().contains(name);
}

} // namespace

QByteArray qtFormatOf(OutputFormat format)
{
    switch (format) {
    case OutputFormat::Png:
        return "png";
    case OutputFormat::Jpeg:
        return "jpeg";
    case OutputFormat::Webp:
        return "webp";
    case OutputFormat::Bmp:
        break;
    }
    return {};
}

std::optional<OutputFormat> formatNamed(const QString &name)
{
    const QString lower = name.toLower();
    if (lower == QLatin1String("png"))
        return OutputFormat::Png;
    if (lower == QLatin1String("jpg") || lower == QLatin1String("jpeg"))
        return OutputFormat::Jpeg;
    if (lower == QLatin1String("bmp"))
        return OutputFormat::Bmp;
    if (lower == QLatin1String("webp"))
        return OutputFormat::Webp;
    return std::nullopt;
}

QString extensionOf(OutputFormat format)
{
    switch (format) {
    case OutputFormat::Png:
        return QStringLiteral("png");
    case OutputFormat::Jpeg:
        return QStringLiteral("jpg");
    case OutputFormat::Bmp:
        return QStringLiteral("bmp");
    case OutputFormat::Webp:
        return QStringLiteral("webp");
    }
    return {};
}

QStringList availableFormatNames()
{
    QStringList names;
    for (OutputFormat format : kAllFormats)
        if (isAvailable(format))
            names << extensionOf(format);
    return names;
}

Status checkAvailable(OutputFormat format)
{
    if (isAvailable(format))
        return Status::success();
    QString why =
        QStringLiteral("%1 pictures cannot be written here: Qt's image plugin for them is "
                       "not installed")
            .arg(extensionOf(format).toUpper());
    if (format == OutputFormat::Webp)
        why += QStringLiteral(" (Debian package qt6-image-formats-plugins)");
    return Failure{why + QStringLiteral("; the formats available are %1.")
                             .arg(availableFormatNames().join(QStringLiteral(", ")))};
}

bool takesQuality(OutputFormat format)
{
    return format == OutputFormat::Jpeg || format == OutputFormat::Webp;
}

int defaultQuality(OutputFormat format)
{
    switch (format) {
    case OutputFormat::Jpeg:
        return 90;
    case OutputFormat::Webp:
        // Qt writes lossless WebP at quality 100.
        return 100;
    case OutputFormat::Png:
    case OutputFormat::Bmp:
        break;
    }
    return -1;
}

namespace {

int maxSideOf(OutputFormat format)
{
    switch (format) {
    case OutputFormat::Jpeg:
        return 65500; // libjpeg's largest image dimension
    case OutputFormat::Webp:
        return 16383; // the WebP bitstream's 14-bit sizes
    case OutputFormat::Png:
    case OutputFormat::Bmp:
        break;
    }
    return std::numeric_limits<int>::max();
}

} // namespace

QString sideLimitExceeded(OutputFormat format, qint64 width, qint64 height)
{
    const int maxSide = maxSideOf(format);
    if (width <= maxSide && height <= maxSide)
        return {};
    return QStringLiteral("%1 pictures can be at most %2 pixels on a side, and this one is %3 x "
                          "%4; choose png or bmp")
        .arg(extensionOf(format).toUpper())
        .arg(maxSide)
        .arg(width)
        .arg(height);
}

} // namespace snapvel::cli
