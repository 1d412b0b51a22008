#pragma once

class QCoreApplication;

namespace snapvel {

// Turns SIGTERM, SIGINT and SIGHUP into a normal exit of the event loop, so
// that the program still closes its browser and deletes its temporary files
// when it is asked to stop from outside.
void quitOnTerminationSignals(QCoreApplication &app);

} // namespace snapvel
