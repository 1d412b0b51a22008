#pragma once

#include "platform/result.h"

#include <QString>

namespace snapvel {

class UiServices;

// Save as BMP, in two ends around writing the file (with saveBmp, which a
// caller may run elsewhere meanwhile): the dialog, which gives the bitmap's
// path or "" when cancelled (then nothing at all is done), and the one box
// that says how the save ended: "Saved.", or "Error ..." saying what went
// wrong.
QString askWhereToSaveBmp(UiServices &ui);
void reportSave(UiServices &ui, const Status &saved);

} // namespace snapvel
