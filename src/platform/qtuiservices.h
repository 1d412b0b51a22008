#pragma once

#include "platform/uiservices.h"

#include <QPointer>
#include <QWidget>

namespace snapvel {

// The modal boxes and shell services as Qt dialogs.
class QtUiServices final : public UiServices
{
public:
    QtUiServices() = default;

    // Message and input boxes are centred on this window once it exists.
    void setParentWindow(QWidget *window) { m_parent = window; }

    void messageBox(const QString &prompt, int style, const QString &title) override;
    QString inputBox(const QString &prompt, const QString &title,
                     const QString &defaultText) override;
    QString saveFileName(const SaveDialogRequest &request) override;
    bool openWithRegisteredApplication(const QString &path) override;

    // The Qt name filter for a description and a pattern: a description that
    // already ends in "(pattern)" is used as it is.
    static QString nameFilter(const QString &description, const QString &pattern);

private:
    QPointer<QWidget> m_parent;
};

} // namespace snapvel
