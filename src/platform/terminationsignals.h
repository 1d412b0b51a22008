#pragma once

#include <functional>

class QCoreApplication;

namespace snapvel {

// Runs `handler` on the event loop each time SIGTERM, SIGINT or SIGHUP
// arrives, so that the program can stop in good order (close its browser,
// delete its temporary files) when it is asked to stop from outside. A later
// call replaces the handler.
void onTerminationSignals(QCoreApplication &app, std::function<void()> handler);

// The same, ending the event loop normally.
void quitOnTerminationSignals(QCoreApplication &app);

} // namespace snapvel
