#include "output/writeerror.h"

#include <cerrno>

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
        switch (step) {
        case WriteStep::Create:
            return QStringLiteral("the folder is not writable (permission denied)");
        case WriteStep::Replace:
            return QStringLiteral("the existing file is read-only");
        default:
            return QStringLiteral("permission denied");
        }
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

} // namespace

QString plainWriteReason(WriteStep step, int errorNumber, const QString &systemText)
{
    if (const QString words = wordsFor(step, errorNumber); !words.isEmpty())
        return words;
    if (!systemText.trimmed().isEmpty())
        return systemText.trimmed();
    return QStringLiteral("the system gave no reason");
}

} // namespace snapvel
