#pragma once

#include "cli/outputformat.h"
#include "platform/result.h"

#include <QSize>
#include <QString>
#include <QStringList>

#include <chrono>

class QIODevice;

namespace snapvel::cli {

// When a loaded page is ready to be captured.
enum class WaitFor
{
    Load,        // its top-level document has completed
    NetworkIdle, // ... and its network has been quiet for a moment
};

enum class Verbosity
{
    Quiet,   // failures only
    Normal,  // a line per page
    Verbose, // ... with each phase's time
};

// Everything `snapvel capture` was asked to do, checked.
struct CaptureSettings
{
    QStringList addresses;
    // A file path (one address) or a folder (names chosen from addresses).
    QString output;
    bool outputIsFolder = false;
    OutputFormat format = OutputFormat::Png;
    int quality = -1; // -1: the format's default
    QSize viewport{1280, 720};
    qreal scale = 1.0;
    WaitFor waitFor = WaitFor::Load;
    std::chrono::milliseconds delay{0};
    std::chrono::milliseconds timeout{30000};
    bool viewportOnly = false;
    // When the document does not scroll but a box filling the viewport does,
    // capture that box's whole content (see CapturePreparation).
    bool expandScroller = false;
    int jobs = 1;
    // The most the pictures being captured may take at once; 0: from the
    // memory available when the command starts.
    qint64 memoryBudget = 0;
    Verbosity verbosity = Verbosity::Normal;
};

// What the command line asks for.
struct ParsedCommand
{
    enum class Action
    {
        Capture,
        Help,
        Version,
    };
    Action action = Action::Capture;
    CaptureSettings settings;
};

// Where the parser reads what it needs from outside the arguments.
struct ParseContext
{
    int cores = 1;
    // Standard input, for `--input -`.
    QIODevice *standardInput = nullptr;
};

// Parses the arguments that follow `capture`. A failure's message is one
// line that names the option or value at fault.
Result<ParsedCommand> parseCaptureArguments(const QStringList &arguments,
                                            const ParseContext &context);

} // namespace snapvel::cli
