#pragma once

#include "platform/cdp/connection.h"
#include "platform/result.h"

#include <QJsonArray>
#include <QJsonValue>
#include <QString>

#include <chrono>
#include <functional>

namespace snapvel::cdp {

// Sends one DevTools command on a page's session, with its own deadline. The
// page carries it out once it is ready; one that times out loses the page.
using PageSend = std::function<void(const QString &method, const QJsonObject &params,
                                    std::chrono::milliseconds timeout, Connection::Reply done)>;

// What a script of the program's own gave back: its value, or the handle of
// the object it made (empty when it gave no object). A script that threw
// ends as a failure of kind Other, like a command the browser refused; any
// other kind means the page is lost.
struct ScriptValue
{
    QJsonValue value;
    QString objectId;
};

// Runs the program's own scripts on a page's main frame, in a world of their
// own: they share the page's document but none of its script, so a page that
// replaces requestAnimationFrame, Promise or setTimeout neither breaks them
// nor sees them. The world is made on first use and again when the page has
// loaded another document since.
class PageScripts
{
public:
    PageScripts(PageSend send, std::function<QString()> mainFrame);

    // Evaluates an expression that makes an object, and hands back the
    // object's handle (for call()).
    void makeObject(const QString &expression, std::chrono::milliseconds timeout,
                    Done<ScriptValue> done);

    // Calls a function with an object made by an earlier script as `this`
    // and JSON arguments; the result comes back as JSON.
    void call(const QString &objectId, const QString &function, const QJsonArray &arguments,
              bool awaitPromise, std::chrono::milliseconds timeout, Done<ScriptValue> done);

    // Lets the page forget an object handed out by an earlier script.
    void release(const QString &objectId);

private:
    void makeObjectIn(int context, const QString &expression, std::chrono::milliseconds timeout,
                      bool mayRetry, Done<ScriptValue> done);
    void makeWorld(std::chrono::milliseconds timeout, Done<int> done);

    PageSend m_send;
    std::function<QString()> m_mainFrame;
    int m_context = 0; // the world's execution context; 0 until made
};

// The value of a script's reply, or why there is none.
Result<ScriptValue> scriptValueOf(const Result<Message> &reply);

} // namespace snapvel::cdp
