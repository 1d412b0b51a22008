#include "output/replacingwrite.h"

#include "output/replacingfile.h"
#include "output/writeerror.h"

#include <QFileInfo>

#include <cerrno>

namespace snapvel {

namespace {

QString reasonOf(const ReplacingFile &file)
{
    return plainWriteReason(file.failedStep(), file.errorNumber(), file.errorString());
}

} // namespace

Failure cannotWrite(const QString &path, const QString &reason)
{
    return Failure{QStringLiteral("Cannot write %1: %2.").arg(path, reason)};
}

Status writeReplacing(const QString &path, const std::function<Status(QIODevice &)> &write)
{
    const QFileInfo target(path);
    if (target.isDir())
        return cannotWrite(path, QStringLiteral("the name belongs to a folder"));
    // The folder is looked at first so that the message can name it.
    const QFileInfo folder(target.absolutePath());
    if (!folder.exists())
        return cannotWrite(path,
                           QStringLiteral("the folder %1 does not exist").arg(folder.filePath()));
    if (!folder.isDir())
        return cannotWrite(path,
                           QStringLiteral("%1 is a file, not a folder").arg(folder.filePath()));

    ReplacingFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        // The folder exists, so "no such file" means it takes no new files
        // (as in /proc).
        if (file.failedStep() == WriteStep::Create && file.errorNumber() == ENOENT)
            return cannotWrite(path, QStringLiteral("the folder does not accept new files"));
        return cannotWrite(path, reasonOf(file));
    }
    if (Status written = write(file); !written) {
        file.discard();
        // The file's own error number is the one from the failing write.
        return cannotWrite(path, file.errorNumber() ? reasonOf(file) : written.error());
    }
    if (!file.commit())
        return cannotWrite(path, reasonOf(file));
    return Status::success();
}

} // namespace snapvel
