#pragma once

#include "platform/uiservices.h"

#include <QList>
#include <QQueue>
#include <QStringList>

#include <functional>

namespace snapvel::test {

// Ui services that answer from queues and record every box shown.
class ScriptedUiServices final : public UiServices
{
public:
    struct Box
    {
        QString prompt;
        int style = 0;
        QString title;
        friend bool operator==(const Box &, const Box &) = default;
    };
    // The box a finished capture shows.
    static Box doneBox() { return {QStringLiteral("Done."), 0, QStringLiteral("Done.")}; }
    struct Input
    {
        QString prompt;
        QString title;
        QString defaultText;
    };

    // Answers, taken in order; an empty queue answers as Cancel would.
    QQueue<QString> inputAnswers;
    QQueue<QString> saveAnswers;
    bool openSucceeds = true;
    // Run while a box is "open", for tests of what happens meanwhile.
    std::function<void(const Box &)> whileMessageBoxOpen;
    std::function<void(const Input &)> whileInputBoxOpen;

    QList<Box> boxes;
    QList<Input> inputs;
    QList<SaveDialogRequest> saveRequests;
    QStringList opened;

    void messageBox(const QString &prompt, int style, const QString &title) override
    {
        boxes.append({prompt, style, title});
        if (whileMessageBoxOpen)
            whileMessageBoxOpen(boxes.constLast());
    }
    QString inputBox(const QString &prompt, const QString &title,
                     const QString &defaultText) override
    {
        inputs.append({prompt, title, defaultText});
        if (whileInputBoxOpen)
            whileInputBoxOpen(inputs.constLast());
        return inputAnswers.isEmpty() ? QString() : inputAnswers.dequeue();
    }
    QString saveFileName(const SaveDialogRequest &request) override
    {
        saveRequests.append(request);
        return saveAnswers.isEmpty() ? QString() : saveAnswers.dequeue();
    }
    bool openWithRegisteredApplication(const QString &path) override
    {
        opened << path;
        return openSucceeds;
    }
};

} // namespace snapvel::test
