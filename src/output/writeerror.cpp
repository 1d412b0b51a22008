#include "output/writeerror.h"

#include <cerrno>
#include <cstring>

namespace snapvel {

namespace {

// The error numbers a user can act on, each with its plain words.
QString wordsFor(WriteStep step, int errorNumber)
{
    switch (errorNumber) {
    case ENOSPC:
        return QStringLiteral("the disk is full");
    case EDQUOT:
        return QStringLiteral("the disk quota is used up");
    case EACCES:
    case EPERM:
        return step == WriteStep::Create
                   ? QStringLiteral("the folder is not writable (permission denied)")
                   : QStringLiteral("permission denied");
    case ENOENT:
        return QStringLiteral("the folder does not exist");
    case ENOTDIR:
        return QStringLiteral("a part of the path is a file, not a folder");
    case EISDIR:
        return QStringLiteral("the name belongs to a folder");
    case EROFS:
        return QStringLiteral("the disk is read-only");
    case EFBIG:
        return QStringLiteral("the file is larger than this system allows");
    case EIO:
        return QStringLiteral("the disk reported an input/output error");
    case ENAMETOOLONG:
        return QStringLiteral("the name is too long");
    case EMFILE:
    case ENFILE:
        return QStringLiteral("too many files are open");
    case EINVAL:
        return QStringLiteral("the name is not allowed on this disk");
    case ETXTBSY:
        return QStringLiteral("the file is in use");
    default:
        return {};
    }
}

constexpr int KnownErrors[] = {ENOSPC, EDQUOT, EACCES,       EPERM,  ENOENT, ENOTDIR, EISDIR, EROFS,
                               EFBIG,  EIO,    ENAMETOOLONG, EMFILE, ENFILE, EINVAL,  ETXTBSY};

// The known error whose system text Qt's error text carries, or 0.
int errorNamedIn(const QString &qtErrorText)
{
    if (qtErrorText.isEmpty())
        return 0;
    for (const int errorNumber : KnownErrors) {
        const QString systemText = QString::fromLocal8Bit(std::strerror(errorNumber));
        if (qtErrorText.contains(systemText, Qt::CaseInsensitive))
            return errorNumber;
    }
    return 0;
}

} // namespace

int recognisedError(int errorNumber, const QString &qtErrorText)
{
    if (const int named = errorNamedIn(qtErrorText))
        return named;
    return wordsFor(WriteStep::Write, errorNumber).isEmpty() ? 0 : errorNumber;
}

QString plainWriteReason(WriteStep step, int errorNumber, const QString &qtErrorText)
{
    if (const int known = recognisedError(errorNumber, qtErrorText))
        return wordsFor(step, known);
    if (!qtErrorText.trimmed().isEmpty())
        return qtErrorText.trimmed();
    return QStringLiteral("the system gave no reason");
}

} // namespace snapvel
