#include "output/replacingfile.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace snapvel {

namespace {

// Tries at a free temporary name before giving up.
constexpr int NameAttempts = 100;

// A name for the temporary file in the folder, short enough for any target
// name that fits, and hidden.
QByteArray temporaryNameIn(const QByteArray &folder)
{
    static constexpr char Letters[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    QByteArray name = folder + "/.snapvel-save-";
    for (int i = 0; i < 8; ++i)
        name += Letters[QRandomGenerator::global()->bounded(int(sizeof(Letters) - 1))];
    return name;
}

// The file that saving to path replaces: a symbolic link is followed, so
// that the link stays and its file gets the new content.
QString targetOf(const QString &path)
{
    const QFileInfo info(path);
    if (!info.isSymLink())
        return info.absoluteFilePath();
    const QString canonical = info.canonicalFilePath();
    return canonical.isEmpty() ? info.symLinkTarget() : canonical;
}

} // namespace

ReplacingFile::ReplacingFile(const QString &path) : m_path(path) {}

ReplacingFile::~ReplacingFile()
{
    release();
}

bool ReplacingFile::open(OpenMode mode)
{
    if (isOpen() || (mode & ReadOnly) || !(mode & WriteOnly) || (mode & Append))
        return fail(WriteStep::Create, EINVAL);
    m_failed = false;
    m_errorNumber = 0;

    const QString target = targetOf(m_path);
    m_target = QFile::encodeName(target);
    m_folder = QFile::encodeName(QFileInfo(target).absolutePath());

    const long nameMax = ::pathconf(m_folder.constData(), _PC_NAME_MAX);
    if (QFile::encodeName(QFileInfo(target).fileName()).size() > (nameMax > 0 ? nameMax : 255))
        return fail(WriteStep::Create, ENAMETOOLONG);

    struct stat existing
    {
    };
    if (::stat(m_target.constData(), &existing) == 0) {
        if (S_ISDIR(existing.st_mode))
            return fail(WriteStep::Create, EISDIR);
        // Renaming over a device or a pipe would remove it rather than
        // write to it.
        if (!S_ISREG(existing.st_mode))
            return failWithText(WriteStep::Replace,
                                QStringLiteral("the name belongs to a device or other special "
                                               "file, not to an ordinary file"));
        if (::access(m_target.constData(), W_OK) != 0)
            return fail(WriteStep::Replace, errno);
        m_mode = int(existing.st_mode & 07777);
    } else if (errno != ENOENT) {
        return fail(WriteStep::Create, errno);
    }

    if (!createTemporary())
        return false;
    if (m_mode >= 0)
        ::fchmod(m_fd, mode_t(m_mode)); // a copy of the permissions; not worth a failure
    return QIODevice::open(WriteOnly | Unbuffered);
}

bool ReplacingFile::createTemporary()
{
    // A file without a name first: if this program is killed while writing,
    // nothing is left behind.
    m_fd = ::open(m_folder.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (m_fd >= 0)
        return true;
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
        return fail(WriteStep::Create, errno);
    // Disks that cannot hold a file without a name get a named one.
    for (int attempt = 0; attempt < NameAttempts; ++attempt) {
        const QByteArray name = temporaryNameIn(m_folder);
        m_fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (m_fd >= 0) {
            m_temporaryName = name;
            return true;
        }
        if (errno != EEXIST)
            return fail(WriteStep::Create, errno);
    }
    return fail(WriteStep::Create, EEXIST);
}

bool ReplacingFile::nameTemporary()
{
    if (!m_temporaryName.isEmpty())
        return true;
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(m_fd);
    for (int attempt = 0; attempt < NameAttempts; ++attempt) {
        const QByteArray name = temporaryNameIn(m_folder);
        if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, name.constData(), AT_SYMLINK_FOLLOW) ==
            0) {
            m_temporaryName = name;
            return true;
        }
        if (errno != EEXIST)
            return fail(WriteStep::Finish, errno);
    }
    return fail(WriteStep::Finish, EEXIST);
}

qint64 ReplacingFile::readData(char *, qint64)
{
    return -1;
}

qint64 ReplacingFile::writeData(const char *data, qint64 size)
{
    if (m_failed || m_fd < 0)
        return -1;
    qint64 written = 0;
    while (written < size) {
        const ssize_t n = ::write(m_fd, data + written, size_t(size - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            fail(WriteStep::Write, errno);
            return -1;
        }
        if (n == 0) {
            fail(WriteStep::Write, EIO);
            return -1;
        }
        written += n;
    }
    return written;
}

bool ReplacingFile::commit()
{
    if (!isOpen() || m_failed || m_fd < 0) {
        if (!m_failed)
            fail(WriteStep::Finish, EBADF);
        release();
        return false;
    }
    // The bytes reach the disk before they replace anything, so a crash
    // cannot leave an empty file in place of the earlier one. A disk that
    // cannot be synchronised (EINVAL) has nothing to flush.
    if (::fdatasync(m_fd) != 0 && errno != EINVAL) {
        fail(WriteStep::Finish, errno);
        release();
        return false;
    }
    if (!nameTemporary()) {
        release();
        return false;
    }
    const int fd = std::exchange(m_fd, -1);
    // Some disks report a failed write only when the file is closed. The
    // descriptor is closed whatever close() says, and EINTR is no failure.
    if (::close(fd) != 0 && errno != EINTR) {
        fail(WriteStep::Finish, errno);
        release();
        return false;
    }
    if (::rename(m_temporaryName.constData(), m_target.constData()) != 0) {
        fail(WriteStep::Finish, errno);
        release();
        return false;
    }
    m_temporaryName.clear();
    QIODevice::close();
    return true;
}

void ReplacingFile::discard()
{
    release();
}

void ReplacingFile::close()
{
    release();
}

bool ReplacingFile::fail(WriteStep step, int errorNumber)
{
    m_failed = true;
    m_failedStep = step;
    m_errorNumber = errorNumber;
    setErrorString(QString::fromLocal8Bit(std::strerror(errorNumber)));
    return false;
}

bool ReplacingFile::failWithText(WriteStep step, const QString &reason)
{
    m_failed = true;
    m_failedStep = step;
    m_errorNumber = 0;
    setErrorString(reason);
    return false;
}

void ReplacingFile::release()
{
    if (m_fd >= 0)
        ::close(std::exchange(m_fd, -1));
    if (!m_temporaryName.isEmpty())
        ::unlink(std::exchange(m_temporaryName, QByteArray()).constData());
    if (isOpen())
        QIODevice::close();
}

} // namespace snapvel
