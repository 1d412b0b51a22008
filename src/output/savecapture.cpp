#include "output/savecapture.h"

#include "output/apiimage.h"
#include "platform/uiservices.h"

namespace snapvel {

QString askWhereToSaveBmp(UiServices &ui)
{
    return ApiImage::SaveFileDialog(ui, QStringLiteral("Save"),
                                    QStringLiteral("Bitmap(*.bmp)|*.bmp"), QStringLiteral("bmp"));
}

void reportSave(UiServices &ui, const Status &saved)
{
    if (!saved) {
        ui.messageBox(QStringLiteral("Error ") + saved.error(), ExclamationOk,
                      QStringLiteral("Error"));
        return;
    }
    ui.messageBox(QStringLiteral("Saved."), InformationOk, QStringLiteral("OK"));
}

} // namespace snapvel
