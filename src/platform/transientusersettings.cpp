#include "platform/transientusersettings.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

namespace snapvel {

namespace {

// Unix keeps both formats' user settings in one folder; both are pointed
// there, so that settings in either format stay out of the user's folder.
constexpr QSettings::Format Formats[] = {QSettings::NativeFormat, QSettings::IniFormat};

// The folder QSettings' user scope resolves to now. An organisation's
// settings are the file <folder>/<organisation>.conf; making the object
// writes nothing.
QString currentUserFolder()
{
    const QSettings probe(QSettings::IniFormat, QSettings::UserScope,
                          QStringLiteral("snapvel-settings-probe"));
    return QFileInfo(probe.fileName()).absolutePath();
}

void setUserFolder(const QString &folder)
{
    for (const QSettings::Format format : Formats)
        QSettings::setPath(format, QSettings::UserScope, folder);
}

} // namespace

TransientUserSettings::TransientUserSettings()
    : m_folder(QDir::temp().filePath(QStringLiteral("snapvel-settings-XXXXXX")))
{
    if (!m_folder.isValid()) {
        qWarning("snapvel: no temporary folder for Qt's settings (%s); file dialogs may "
                 "remember their last folder in ~/.config/QtProject.conf.",
                 qPrintable(m_folder.errorString()));
        return;
    }
    m_previousPath = currentUserFolder();
    setUserFolder(m_folder.path());
}

TransientUserSettings::~TransientUserSettings()
{
    if (!m_previousPath.isEmpty())
        setUserFolder(m_previousPath);
}

QString TransientUserSettings::path() const
{
    return m_folder.isValid() ? m_folder.path() : QString();
}

} // namespace snapvel
