#pragma once

#include "cli/outputformat.h"
#include "platform/result.h"

#include <QString>

class QImage;

namespace snapvel::cli {

// Writes the picture to path in the format. The bytes go to a temporary file
// beside it that replaces the file at path only once all of it has been
// written: after a failure an earlier file is unchanged and nothing else is
// left behind. quality (0-100) applies to JPEG and WebP (100: lossless WebP).
// Safe to call from any thread. The failure names the path and says why.
Status writePicture(const QImage &image, const QString &path, OutputFormat format, int quality);

// Writes a picture that is already encoded (the browser's own PNG) to path,
// by the same rules.
Status writeEncodedPicture(const QByteArray &encoded, const QString &path);

} // namespace snapvel::cli
