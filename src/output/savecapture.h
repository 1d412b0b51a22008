#pragma once

class QImage;

namespace snapvel {

class UiServices;

// Save as BMP: asks for a path, writes the capture there as a bitmap file and
// says "Saved.". Cancelling the dialog does nothing at all; any failure shows
// one "Error ..." box that says what went wrong, and nothing after it is done.
void saveCaptureAs(UiServices &ui, const QImage &capture);

} // namespace snapvel
