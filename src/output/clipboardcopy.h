#pragma once

#include "platform/result.h"

class QClipboard;
class QImage;

namespace snapvel {

// The largest capture placed on the clipboard, in bytes of its 32-bit
// pixels. Other programs read the clipboard through the X11 selection, which
// Qt hands over in pieces counted with 32-bit integers (the announced size of
// an incremental transfer, and the offset into it): a picture whose encoded
// form (PNG, or BMP at 3 bytes a pixel) reached 2^31 bytes would reach them
// empty or cut short. Every encoded form of a picture within this limit
// stays below it.
constexpr qint64 kClipboardLimitBytes = 2147483647;

// Copy to Clipboard: places the capture on the clipboard as an image, which
// Qt offers to other programs in the usual image formats (image/png,
// image/bmp, ...). The image's pixels are shared, not copied. Nothing is
// shown; without a capture or a clipboard nothing happens. A capture larger
// than `limitBytes` is refused, saying so, and the clipboard keeps what it
// had.
Status copyToClipboard(QClipboard *clipboard, const QImage &capture,
                       qint64 limitBytes = kClipboardLimitBytes);

} // namespace snapvel
