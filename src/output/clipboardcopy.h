#pragma once

class QClipboard;
class QImage;

namespace snapvel {

// Copy to Clipboard: places the capture on the clipboard as an image, which
// Qt offers to other programs in the usual image formats (image/png,
// image/bmp, ...). The image's pixels are shared, not copied. Nothing is
// shown; without a capture or a clipboard nothing happens.
void copyToClipboard(QClipboard *clipboard, const QImage &capture);

} // namespace snapvel
