#pragma once

#include <QString>
#include <QTemporaryDir>

namespace snapvel {

// Keeps what Qt itself stores in the user's settings out of the user's
// configuration folder, so that the program keeps nothing between runs.
//
// QFileDialog remembers its history, last folder, sidebar and view mode: when
// a dialog is destroyed it writes them through QSettings(UserScope,
// "QtProject") to ~/.config/QtProject.conf, and the next dialog reads them
// back. Qt has no switch for this. While an object of this class lives,
// QSettings' user scope (Qt's folder for every organisation's user settings)
// is a temporary folder of this process instead: those writes land there and
// are deleted with it, and nothing from earlier runs is read. When it goes,
// the user scope points where it pointed before.
//
// Qt's settings folders are shared by the whole process: make one object,
// early in main, and keep it until the last dialog has gone.
class TransientUserSettings
{
public:
    TransientUserSettings();
    ~TransientUserSettings();
    TransientUserSettings(const TransientUserSettings &) = delete;
    TransientUserSettings &operator=(const TransientUserSettings &) = delete;

    // The folder user settings go to meanwhile; "" when no temporary folder
    // could be made, in which case Qt's settings stay where they were.
    QString path() const;

private:
    QTemporaryDir m_folder;
    QString m_previousPath;
};

} // namespace snapvel
