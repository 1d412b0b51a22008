#pragma once

#include "output/writeerror.h"

#include <QByteArray>
#include <QIODevice>
#include <QString>

namespace snapvel {

// A new version of the file at a path, written to a temporary file in the
// same folder that takes the file's place only when commit() succeeds: after
// any failure, or without a commit, the file at the path is as it was and no
// temporary file remains. A symbolic link at the path stays and the file it
// points to is replaced; a replaced file keeps its permissions. An existing
// file that this user may not write is refused, as a read-only file.
//
// Each failing step keeps the operating system's error number from the
// system call that failed, so that the reason can be told in plain words
// whatever the language of the system's own messages.
class ReplacingFile final : public QIODevice
{
public:
    explicit ReplacingFile(const QString &path);
    ~ReplacingFile() override;

    // Opens for writing; mode must be write-only.
    bool open(OpenMode mode) override;
    // Puts everything written in the file's place, on the disk.
    bool commit();
    // Drops everything written; the file at the path stays as it was.
    void discard();
    // The same as discard(): only commit() keeps what was written.
    void close() override;

    bool isSequential() const override { return true; }

    // The step that failed and the system's error number for it; 0 when no
    // step failed, or when the failure has no error number (errorString()
    // then says what it was).
    WriteStep failedStep() const { return m_failedStep; }
    int errorNumber() const { return m_errorNumber; }

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 size) override;

private:
    bool createTemporary();
    bool nameTemporary();
    bool fail(WriteStep step, int errorNumber);
    bool failWithText(WriteStep step, const QString &reason);
    void release();

    QString m_path;
    QByteArray m_target; // the file that is replaced, symbolic links followed
    QByteArray m_folder;
    QByteArray m_temporaryName; // empty while the temporary file has no name
    int m_fd = -1;
    int m_mode = -1; // the replaced file's permissions, or -1 for a new file
    bool m_failed = false;
    WriteStep m_failedStep = WriteStep::Create;
    int m_errorNumber = 0;
};

} // namespace snapvel
