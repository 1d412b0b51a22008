#include "output/clipboardcopy.h"

#include <QClipboard>
#include <QImage>

namespace snapvel {

Status copyToClipboard(QClipboard *clipboard, const QImage &capture, qint64 limitBytes)
{
    if (!clipboard || capture.isNull())
        return {};
    const qint64 bytes = qint64(capture.width()) * capture.height() * 4;
    if (bytes > limitBytes)
        return Failure{QStringLiteral("The picture is too large for the clipboard (%1 x %2 "
                                      "pixels): other programs could not receive it. Save it "
                                      "as a file instead.")
                           .arg(capture.width())
                           .arg(capture.height()),
                       FailureKind::TooLarge};
    clipboard->setImage(capture, QClipboard::Clipboard);
    return {};
}

} // namespace snapvel
