#include "platform/qtuiservices.h"

#include <QDesktopServices>
#include <QDir>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QMessageBox>
#include <QUrl>

namespace snapvel {

namespace {

QMessageBox::Icon iconFor(int style)
{
    switch (style) {
    case ExclamationOk:
        return QMessageBox::Warning;
    case InformationOk:
        return QMessageBox::Information;
    default:
        return QMessageBox::NoIcon;
    }
}

// A save dialog that accepts names only in folders that exist. Qt's own
// dialog lets a name in a missing folder through.
class ExistingFolderSaveDialog final : public QFileDialog
{
public:
    using QFileDialog::QFileDialog;

    void accept() override
    {
        const QString chosen = selectedFiles().value(0);
        const QFileInfo folder(QFileInfo(chosen).absolutePath());
        if (!chosen.isEmpty() && !folder.isDir()) {
            QMessageBox::warning(this, windowTitle(),
                                 QStringLiteral("The folder %1 does not exist.")
                                     .arg(QDir::toNativeSeparators(folder.filePath())));
            return;
        }
        QFileDialog::accept();
    }
};

} // namespace

void QtUiServices::messageBox(const QString &prompt, int style, const QString &title)
{
    QMessageBox box(iconFor(style), title, prompt, QMessageBox::Ok, m_parent);
    box.exec();
}

QString QtUiServices::inputBox(const QString &prompt, const QString &title,
                               const QString &defaultText)
{
    bool accepted = false;
    const QString text =
        QInputDialog::getText(m_parent, title, prompt, QLineEdit::Normal, defaultText, &accepted);
    return accepted ? text : QString();
}

QString QtUiServices::nameFilter(const QString &description, const QString &pattern)
{
    if (description.endsWith(QLatin1Char('(') + pattern + QLatin1Char(')')))
        return description;
    return description + QStringLiteral(" (") + pattern + QLatin1Char(')');
}

QString QtUiServices::saveFileName(const SaveDialogRequest &request)
{
    // No owner window: the main window stays usable while the dialog is open.
    ExistingFolderSaveDialog dialog(nullptr, request.title);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilter(nameFilter(request.filterDescription, request.filterPattern));
    dialog.setOption(QFileDialog::DontConfirmOverwrite, false);
    // Shown without modality, and waited for in a local event loop: exec()
    // would make the dialog application-modal and disable the main window,
    // which is to stay usable (scrolling, a capture finishing) meanwhile.
    dialog.setWindowModality(Qt::NonModal);
    QEventLoop loop;
    QObject::connect(&dialog, &QDialog::finished, &loop, &QEventLoop::quit);
    dialog.show();
    loop.exec();
    if (dialog.result() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().constFirst();
}

bool QtUiServices::openWithRegisteredApplication(const QString &path)
{
    return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

} // namespace snapvel
