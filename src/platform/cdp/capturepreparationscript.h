#pragma once

namespace snapvel::cdp {

// The page-side half of a preparation: an object whose methods do each step
// in the page (see capturepreparation.h). Style changes are made inline and
// marked important; each change remembers how to undo itself, so that
// restore() puts the page back exactly.
extern const char CapturePreparationScript[];

} // namespace snapvel::cdp
