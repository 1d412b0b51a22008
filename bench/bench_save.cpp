// Saving a tall capture as BMP: time against writing the same bytes plainly,
// and the memory the save needs beyond the capture itself.

#include "output/bmpwriter.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QSaveFile>
#include <QTemporaryDir>

#include <cstdio>
#include <vector>

using namespace snapvel;

namespace {

// A field of /proc/self/status in kB ("VmHWM", "VmRSS").
qint64 statusKiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

// Forgets the peak so far, so the next peak is that of what follows.
void resetPeak()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

// The baseline: the same number of bytes written through QSaveFile in 1 MB
// pieces, with no conversion.
bool writePlainBytes(const QString &path, quint64 bytes)
{
    std::vector<char> chunk(1 << 20, '\x5a');
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return false;
    for (quint64 left = bytes; left > 0;) {
        const qint64 piece = qint64(std::min<quint64>(left, chunk.size()));
        if (file.write(chunk.data(), piece) != piece)
            return false;
        left -= quint64(piece);
    }
    return file.commit();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int width = 1280, height = 100000;
    QImage capture(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        auto *line = reinterpret_cast<QRgb *>(capture.scanLine(y));
        for (int x = 0; x < width; ++x)
            line[x] = qRgb(x & 0xff, y & 0xff, (x ^ y) & 0xff);
    }
    const double imageMiB = double(capture.sizeInBytes()) / (1 << 20);
    const quint64 fileBytes = bmp::fileSize(capture.size());

    QTemporaryDir folder;
    const QString plainPath = folder.filePath(QStringLiteral("plain.bin"));
    const QString bmpPath = folder.filePath(QStringLiteral("capture.bmp"));
    std::printf("capture %d x %d RGB32: %.0f MiB in memory, %.1f MiB as BMP, in %s\n", width,
                height, imageMiB, double(fileBytes) / (1 << 20), qPrintable(folder.path()));

    const int rounds = 3;
    for (int round = 1; round <= rounds; ++round) {
        QElapsedTimer timer;
        timer.start();
        if (!writePlainBytes(plainPath, fileBytes)) {
            std::printf("plain write failed\n");
            return 1;
        }
        const double plainSeconds = timer.nsecsElapsed() / 1e9;
        QFile::remove(plainPath);

        const qint64 rssBefore = statusKiB("VmRSS");
        resetPeak();
        timer.restart();
        const Status saved = saveBmp(capture, bmpPath);
        const double saveSeconds = timer.nsecsElapsed() / 1e9;
        if (!saved) {
            std::printf("save failed: %s\n", qPrintable(saved.error()));
            return 1;
        }
        const qint64 peak = statusKiB("VmHWM");
        std::printf("round %d: save %.3f s (%.0f MB/s); plain write of the same bytes %.3f s; "
                    "peak memory (VmHWM) %.1f MiB, minus the capture %.1f MiB, growth during "
                    "the save %.1f MiB\n",
                    round, saveSeconds, fileBytes / saveSeconds / 1e6, plainSeconds, peak / 1024.0,
                    peak / 1024.0 - imageMiB, (peak - rssBefore) / 1024.0);
        QFile::remove(bmpPath);
    }
    return 0;
}
