#pragma once

class QObject;

namespace snapvel {

class Browser;
class UiServices;

// Warns once, in a box, when the browser cannot start: at once (from the
// event loop) when it could not even be launched, or as soon as it stops
// before it was ever ready (an executable that fails after it was started).
// Nothing is said when it starts, or when it stops later. `context` ends the
// watch when it is destroyed.
void warnWhenBrowserCannotStart(Browser &browser, UiServices &ui, QObject *context);

} // namespace snapvel
