#include "output/clipboardcopy.h"

#include <QClipboard>
#include <QImage>

namespace snapvel {

void copyToClipboard(QClipboard *clipboard, const QImage &capture)
{
    if (!clipboard || capture.isNull())
        return;
    clipboard->setImage(capture, QClipboard::Clipboard);
}

} // namespace snapvel
