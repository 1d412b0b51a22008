#pragma once

#include <QSet>
#include <QString>

namespace snapvel::cli {

// A file name, without extension, for the picture of a page: the host and
// path of a web address ("example.com_docs_intro"), the file name of a local
// page, "page" when the address gives nothing usable. Only letters, digits,
// '.', '-' and '_' remain; never empty, never starts with '.' or '-', at most
// 100 characters.
QString fileStemFor(const QString &address);

// Hands out the file names of a batch: the stem from the address and the
// extension, numbered ("-2", "-3", ...) when a name is already taken in the
// batch. Names are compared without regard to case, so the files stay apart
// on file systems that ignore it.
class OutputNamer
{
public:
    explicit OutputNamer(QString extension);

    QString nameFor(const QString &address);

private:
    QString m_extension;
    QSet<QString> m_taken;
};

} // namespace snapvel::cli
