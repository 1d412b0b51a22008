#include "output/savecapture.h"

#include "output/apiimage.h"
#include "output/bmpwriter.h"
#include "platform/uiservices.h"

#include <QImage>

namespace snapvel {

void saveCaptureAs(UiServices &ui, const QImage &capture)
{
    const QString path = ApiImage::SaveFileDialog(
        ui, QStringLiteral("Save"), QStringLiteral("Bitmap(*.bmp)|*.bmp"), QStringLiteral("bmp"));
    if (path.isEmpty())
        return;
    if (const Status saved = saveBmp(capture, path); !saved) {
        ui.messageBox(QStringLiteral("Error ") + saved.error(), ExclamationOk,
                      QStringLiteral("Error"));
        return;
    }
    ui.messageBox(QStringLiteral("Saved."), InformationOk, QStringLiteral("OK"));
}

} // namespace snapvel
