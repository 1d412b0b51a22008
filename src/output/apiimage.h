#pragma once

#include <QString>

namespace snapvel {

class UiServices;

namespace ApiImage {

// The one file type the save dialog offers.
inline constexpr char BitmapFilterDescription[] = "Bitmap(*.bmp)";
inline constexpr char BitmapFilterPattern[] = "*.bmp";

// Asks the user where a bitmap file is to go. The dialog shows the given
// title and always the one filter "Bitmap(*.bmp)"; filter and extension are
// accepted for the callers' sake and not read. Returns "" when cancelled,
// otherwise the chosen path with leading and trailing spaces removed and
// ".bmp" added unless it already ends in ".bmp" in any letter case.
QString SaveFileDialog(UiServices &ui, const QString &title, const QString &filter,
                       const QString &extension);

// The rule above applied to a name the dialog returned.
QString bitmapPathFromChoice(const QString &chosen);

} // namespace ApiImage

} // namespace snapvel
