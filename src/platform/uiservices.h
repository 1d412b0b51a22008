#pragma once

#include <QString>

namespace snapvel {

// Buttons-and-icon values of a message box.
enum MessageBoxStyle : int
{
    PlainOk = 0,        // one OK button, no icon
    ExclamationOk = 48, // exclamation icon, OK button
    InformationOk = 64, // information icon, OK button
};

// What the save-file dialog is asked for.
struct SaveDialogRequest
{
    QString title;
    QString filterDescription; // e.g. "Bitmap(*.bmp)"
    QString filterPattern;     // e.g. "*.bmp"
};

// The modal boxes and shell services the program uses. Real ones show Qt
// dialogs; tests script the answers and record what was shown.
class UiServices
{
public:
    virtual ~UiServices() = default;

    // Shows a modal message box and returns when it is closed.
    virtual void messageBox(const QString &prompt, int style, const QString &title) = 0;

    // Asks for one line of text; returns "" when cancelled.
    virtual QString inputBox(const QString &prompt, const QString &title,
                             const QString &defaultText) = 0;

    // Asks where to save a file; returns "" when cancelled. The dialog asks
    // before an existing file is chosen and accepts only existing folders.
    // The main window stays usable while it is open.
    virtual QString saveFileName(const SaveDialogRequest &request) = 0;

    // Opens a file with the application registered for it. Returns whether
    // the open could be started.
    virtual bool openWithRegisteredApplication(const QString &path) = 0;
};

} // namespace snapvel
