#include "platform/cdp/pagescripts.h"

namespace snapvel::cdp {

namespace {

// The objects the program's scripts hand out belong to a group of their own.
const QString ObjectGroup = QStringLiteral("snapvel-capture");

QJsonObject resultOf(const Message &message)
{
    return message.params.value(QLatin1String("result")).toObject();
}

} // namespace

Result<ScriptValue> scriptValueOf(const Result<Message> &reply)
{
    if (!reply)
        return reply.failure();
    const QJsonObject exception = reply->params.value(QLatin1String("exceptionDetails")).toObject();
    if (!exception.isEmpty()) {
        const QString said = exception.value(QLatin1String("exception"))
                                 .toObject()
                                 .value(QLatin1String("description"))
                                 .toString(exception.value(QLatin1String("text")).toString());
        return Failure{QStringLiteral("The page refused a script: %1").arg(said)};
    }
    const QJsonObject result = resultOf(reply.value());
    return ScriptValue{result.value(QLatin1String("value")),
                       result.value(QLatin1String("objectId")).toString()};
}

PageScripts::PageScripts(PageSend send, std::function<QString()> mainFrame)
    : m_send(std::move(send)), m_mainFrame(std::move(mainFrame))
{
}

void PageScripts::makeObject(const QString &expression, std::chrono::milliseconds timeout,
                             Done<ScriptValue> done)
{
    if (m_context != 0) {
        makeObjectIn(m_context, expression, timeout, true, std::move(done));
        return;
    }
    makeWorld(timeout, [this, expression, timeout, done = std::move(done)](Result<int> context) {
        if (!context) {
            done(context.failure());
            return;
        }
        makeObjectIn(context.value(), expression, timeout, false, done);
    });
}

void PageScripts::makeObjectIn(int context, const QString &expression,
                               std::chrono::milliseconds timeout, bool mayRetry,
                               Done<ScriptValue> done)
{
    const QJsonObject params{{QStringLiteral("expression"), expression},
                             {QStringLiteral("contextId"), context},
                             {QStringLiteral("objectGroup"), ObjectGroup},
                             {QStringLiteral("silent"), true}};
    m_send(QStringLiteral("Runtime.evaluate"), params, timeout,
           [this, context, expression, timeout, mayRetry,
            done = std::move(done)](Result<Message> reply) {
               // A refused command (not a script that threw) most likely
               // means that the world went with its document: make it
               // again, once.
               if (!reply && reply.kind() == FailureKind::Other && mayRetry &&
                   context == m_context) {
                   m_context = 0;
                   makeObject(expression, timeout, done);
                   return;
               }
               done(scriptValueOf(reply));
           });
}

void PageScripts::makeWorld(std::chrono::milliseconds timeout, Done<int> done)
{
    const QJsonObject params{{QStringLiteral("frameId"), m_mainFrame()},
                             {QStringLiteral("worldName"), QStringLiteral("snapvel")},
                             {QStringLiteral("grantUniveralAccess"), false}};
    m_send(QStringLiteral("Page.createIsolatedWorld"), params, timeout,
           [this, done = std::move(done)](Result<Message> reply) {
               if (!reply) {
                   done(reply.failure());
                   return;
               }
               const int context = reply->params.value(QLatin1String("executionContextId")).toInt();
               if (context == 0) {
                   done(Failure{QStringLiteral("The page has no document to run a script in.")});
                   return;
               }
               m_context = context;
               done(context);
           });
}

void PageScripts::call(const QString &objectId, const QString &function,
                       const QJsonArray &arguments, bool awaitPromise,
                       std::chrono::milliseconds timeout, Done<ScriptValue> done)
{
    QJsonArray callArguments;
    for (const QJsonValue &argument : arguments)
        callArguments.append(QJsonObject{{QStringLiteral("value"), argument}});
    const QJsonObject params{{QStringLiteral("objectId"), objectId},
                             {QStringLiteral("functionDeclaration"), function},
                             {QStringLiteral("arguments"), callArguments},
                             {QStringLiteral("awaitPromise"), awaitPromise},
                             {QStringLiteral("returnByValue"), true},
                             {QStringLiteral("silent"), true}};
    m_send(QStringLiteral("Runtime.callFunctionOn"), params, timeout,
           [done = std::move(done)](Result<Message> reply) { done(scriptValueOf(reply)); });
}

void PageScripts::release(const QString &objectId)
{
    if (!objectId.isEmpty())
        m_send(QStringLiteral("Runtime.releaseObject"), {{QStringLiteral("objectId"), objectId}},
               std::chrono::seconds(10), {});
}

} // namespace snapvel::cdp
