// `snapvel capture` as users run it: the real binary, with no display
// variable set at all, against the real headless Chromium and pages served
// on 127.0.0.1.
#include "platform/cdp/chromiumenvironment.h"
#include "support/pageserver.h"
#include "support/processtree.h"
#include "support/reloadingpage.h"
#include "support/stripedpage.h"

#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

using namespace snapvel::test;

namespace {

struct Run
{
    int exitCode = -1;
    QString out;
    QString err;
    QStringList errLines() const { return err.split(QLatin1Char('\n'), Qt::SkipEmptyParts); }
};

QStringList filesIn(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

// The lines a terminal shows for `output`, given the only controls the
// progress printer writes: up one line, and erase the line.
QStringList screenLines(const QByteArray &output)
{
    QStringList lines{QString()};
    int row = 0;
    for (qsizetype i = 0; i < output.size(); ++i) {
        if (output.mid(i, 4) == "\x1b[1A") {
            row = std::max(0, row - 1);
            i += 3;
        } else if (output.mid(i, 4) == "\x1b[2K") {
            lines[row].clear();
            i += 3;
        } else if (output.at(i) == '\n') {
            if (++row == lines.size())
                lines << QString();
        } else if (output.at(i) != '\r') {
            lines[row] += QLatin1Char(output.at(i));
        }
    }
    while (!lines.isEmpty() && lines.constLast().isEmpty())
        lines.removeLast();
    return lines;
}

// Whether the process runs (a finished one waiting to be reaped does not).
bool isRunning(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = stat.readAll();
    const qsizetype end = text.lastIndexOf(')');
    return end > 0 && text.mid(end + 2, 1) != "Z";
}

} // namespace

class TestCaptureCommand : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void mistakesExitWithTwoAndNoBrowser();
    void eachFormatReadsBack_data();
    void eachFormatReadsBack();
    void batchGoesOnPastAFailedPage();
    void pictureSizes_data();
    void pictureSizes();
    void failedPageLeavesTheExistingFile();
    void laterContentIsWaitedFor_data();
    void laterContentIsWaitedFor();
    void addressesWithoutAPageFail();
    void pagesThatReloadThemselves();
    void stoppingLeavesNothingBehind_data();
    void stoppingLeavesNothingBehind();

private:
    void setUp(QProcess &process, const QStringList &arguments,
               QProcessEnvironment environment = QProcessEnvironment::systemEnvironment()) const;
    Run capture(const QStringList &arguments, const QByteArray &input = {});
    QString url(const QString &path) const { return m_server.url(path).toString(); }

    PageServer m_server;
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestCaptureCommand::initTestCase()
{
    if (!QFileInfo::exists(snapvel::cdp::chromiumExecutable()))
        QSKIP("Chromium is not installed.");
    m_server.addPage("/formats.html", stripedPageHtml(600, 2000, 16));
    m_server.addPage("/small.html", stripedPageHtml(400, 300));
    m_server.addPage("/tall.html", stripedPageHtml(1280, 4000));
    m_server.addPage("/scaled.html", stripedPageHtml(300, 400));
    m_server.addPage("/striped.html", stripedPageHtml(1000, 3000));
    m_server.addPage("/wide.html", stripedPageHtml(1500, 500));
    m_server.addPage("/drawing.svg",
                     "<svg xmlns='http://www.w3.org/2000/svg' width='700' height='2400'>"
                     "<rect width='700' height='2400' fill='#236'/></svg>",
                     "image/svg+xml");
    m_server.addPage("/towering.html", stripedPageHtml(200, 40000));
    m_server.addResponse("/report.bin", "200 OK",
                         "Content-Disposition: attachment; filename=report.bin\r\n", "data",
                         "application/octet-stream");
    m_server.addResponse("/empty", "204 No Content", {}, {});
    m_server.addResponse("/gone.html", "404 Not Found", {}, stripedPageHtml(300, 200));
    // The document does not scroll; a box filling it does.
    QByteArray inner = stripedPageHtml(1000, 6000);
    inner.replace("<body>", "<body><div id=\"box\">");
    inner.replace("</body>", "</div></body>");
    inner.replace("</style>", "html,body{height:100%;overflow:hidden}"
                              "#box{height:100%;overflow:auto}</style>");
    m_server.addPage("/inner.html", inner);
    m_server.addPage("/late.txt", "3000", "text/plain");
    // Grows to the height /late.txt gives, fetched a moment after the load.
    m_server.addPage("/growing.html", R"(<!DOCTYPE html><html><head><style>
        html,body{margin:0} div{width:100px;height:100px;background:#123456}</style>
        </head><body><div id="d"></div><script>
        addEventListener('load', () => setTimeout(() =>
            fetch('/late.txt').then(r => r.text()).then(t => {
                document.getElementById('d').style.height = t + 'px'; }), 300));
        </script></body></html>)");
    m_server.addPage("/reloads-when-painted.html", reloadingPageHtml(Reloads::WhenPainted));
    m_server.addPage("/reloads-after-load.html", reloadingPageHtml(Reloads::AfterLoad));
    m_server.addPage("/reloads-forever.html", reloadingPageHtml(Reloads::Forever));
    // Goes on by itself, once loaded, to an address that never answers.
    m_server.addStalled("/nowhere");
    m_server.addPage("/moves-to-nowhere.html",
                     "<!DOCTYPE html><body style='margin:0;height:3000px;background:rgb(0,160,0)'>"
                     "<script>addEventListener('load', () => setTimeout(() =>"
                     " location.href = '/nowhere', 0));</script></body>");
}

void TestCaptureCommand::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestCaptureCommand::setUp(QProcess &process, const QStringList &arguments,
                               QProcessEnvironment environment) const
{
    process.setProgram(QStringLiteral(SNAPVEL_BINARY));
    process.setArguments(QStringList{QStringLiteral("capture")} + arguments);
    process.setWorkingDirectory(m_dir->path());
    // No display of any kind: the command must not need one.
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QLatin1String(name));
    process.setProcessEnvironment(environment);
}

Run TestCaptureCommand::capture(const QStringList &arguments, const QByteArray &input)
{
    QProcess process;
    setUp(process, arguments);
    process.start();
    Run run;
    if (!process.waitForStarted()) {
        run.err = process.errorString();
        return run;
    }
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
        run.err = QStringLiteral("did not finish within 2 minutes");
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

void TestCaptureCommand::mistakesExitWithTwoAndNoBrowser()
{
    const Run mistake =
        capture({url("/small.html"), QStringLiteral("--jobs"), QStringLiteral("0")});
    QCOMPARE(mistake.exitCode, 2);
    QVERIFY2(mistake.err.contains(QLatin1String("--jobs")), qPrintable(mistake.err));
    QVERIFY(filesIn(m_dir->path()).isEmpty());

    const Run help = capture({QStringLiteral("--help")});
    QCOMPARE(help.exitCode, 0);
    for (const char *option :
         {"--output", "--input", "--format", "--quality", "--width", "--height", "--scale",
          "--wait", "--delay", "--timeout", "--viewport", "--expand-scroller", "--jobs", "--memory",
          "--quiet", "--verbose", "Exit status"})
        QVERIFY2(help.out.contains(QLatin1String(option)), option);

    const Run version = capture({QStringLiteral("--version")});
    QCOMPARE(version.exitCode, 0);
    QCOMPARE(version.out.trimmed(), QStringLiteral("snapvel " SNAPVEL_EXPECTED_VERSION));
}

void TestCaptureCommand::eachFormatReadsBack_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("format");
    QTest::addColumn<int>("tolerance");

    QTest::newRow("png") << "page.png" << QByteArray("png") << 0;
    QTest::newRow("jpg") << "page.jpg" << QByteArray("jpeg") << 4;
    QTest::newRow("bmp") << "page.bmp" << QByteArray("bmp") << 0;
    QTest::newRow("webp") << "page.webp" << QByteArray("webp") << 0;
}

void TestCaptureCommand::eachFormatReadsBack()
{
    QFETCH(QString, file);
    QFETCH(QByteArray, format);
    QFETCH(int, tolerance);
    QStringList arguments{url("/formats.html"), QStringLiteral("-o"), file,
                          QStringLiteral("--width"), QStringLiteral("600")};
    if (format == "jpeg")
        arguments << QStringLiteral("--quality") << QStringLiteral("100");
    const Run run = capture(arguments);
    if (format == "webp" && run.exitCode == 2 && run.err.contains(QLatin1String("plugin")))
        QSKIP("Qt's WebP plugin is not installed.");
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    // Not a terminal: one line for the page, saying what was written where.
    QCOMPARE(run.errLines().size(), 1);
    QVERIFY2(QRegularExpression(QStringLiteral("^\\[1/1\\] \\S+/formats.html 600x2000 [0-9.]+ s "
                                               "-> page\\.\\w+$"))
                 .match(run.errLines().constFirst())
                 .hasMatch(),
             qPrintable(run.err));
    QCOMPARE(filesIn(m_dir->path()), QStringList{file});

    const QImage image(m_dir->filePath(file), format.constData());
    QVERIFY2(!image.isNull(), qPrintable(file));
    QCOMPARE(image.size(), QSize(600, 2000));
    QCOMPARE(checkStripes(image, 600, 2000, 16, tolerance), -1);
}

void TestCaptureCommand::batchGoesOnPastAFailedPage()
{
    // The tall page's picture (1280 x 4000, 20 MB) is larger than the
    // memory the run may use; the others are captured, the site's own "not
    // found" page as it shows, and said. One page at a time (and one loading
    // ahead): the third or the fourth loads in the browser page the first
    // was captured in.
    const QByteArray list = "# five pages\n" + url("/small.html").toUtf8() + "\n\n" +
                            url("/tall.html").toUtf8() + "\n" + url("/scaled.html").toUtf8() +
                            "\n" + url("/wide.html").toUtf8() + "\n" + url("/gone.html").toUtf8() +
                            "\n";
    const Run run = capture({QStringLiteral("--input"), QStringLiteral("-"), QStringLiteral("-o"),
                             QStringLiteral("shots"), QStringLiteral("--jobs"), QStringLiteral("1"),
                             QStringLiteral("--memory"), QStringLiteral("8")},
                            list);
    QCOMPARE(run.exitCode, 1);
    const QString port = QString::number(m_server.url("/").port());
    QCOMPARE(filesIn(m_dir->filePath("shots")),
             (QStringList{"127.0.0.1_" + port + "_gone.png", "127.0.0.1_" + port + "_scaled.png",
                          "127.0.0.1_" + port + "_small.png", "127.0.0.1_" + port + "_wide.png"}));
    QStringList failures;
    for (const QString &line : run.errLines())
        if (line.startsWith(QLatin1Char('[')) && line.contains(QLatin1String("failed")))
            failures << line;
    QCOMPARE(failures.size(), 1);
    QVERIFY2(failures.constFirst().startsWith("[2/5] " + url("/tall.html") + " failed: "),
             qPrintable(run.err));
    const QStringList said = run.errLines().filter(QLatin1String("HTTP status"));
    QCOMPARE(said.size(), 1);
    QVERIFY2(
        said.constFirst().contains(url("/gone.html") + " 1280x720 ") &&
            said.constFirst().endsWith(QLatin1String("; the server answered with HTTP status 404")),
        qPrintable(run.err));
    QVERIFY2(failures.constFirst().contains(QLatin1String("too large")), qPrintable(run.err));

    const QImage small(m_dir->filePath("shots/127.0.0.1_" + port + "_small.png"));
    QCOMPARE(small.size(), QSize(1280, 720)); // never less than the viewport
    const QImage scaled(m_dir->filePath("shots/127.0.0.1_" + port + "_scaled.png"));
    QCOMPARE(scaled.size(), QSize(1280, 720));
    QCOMPARE(checkStripes(scaled.copy(0, 0, 300, 400), 300, 400), -1);
    const QImage wide(m_dir->filePath("shots/127.0.0.1_" + port + "_wide.png"));
    QCOMPARE(checkStripes(wide.copy(0, 0, 1500, 500), 1500, 500), -1);
    QCOMPARE(wide.size(), QSize(1500, 720));
}

void TestCaptureCommand::pictureSizes_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QList<QSize>>("sizes");
    QTest::addColumn<int>("stripeRows"); // stripes checked in the first file, 0: not

    QTest::newRow("scale 2 doubles both sides")
        << QStringList{"/scaled.html", "--width", "300", "--height",  "400",
                       "--scale",      "2",       "-o",  "scaled.png"}
        << QStringList{"scaled.png"} << QList<QSize>{{600, 800}} << 20;
    // A document that is not HTML has no body; it is measured all the same.
    QTest::newRow("an SVG picture as the page")
        << QStringList{"/drawing.svg", "--width", "1000", "--height", "600", "-o", "drawing.png"}
        << QStringList{"drawing.png"} << QList<QSize>{{1000, 2400}} << 0;
    QTest::newRow("viewport only") << QStringList{"/striped.html", "--width",    "800", "--height",
                                                  "600",           "--viewport", "-o",  "first.png"}
                                   << QStringList{"first.png"} << QList<QSize>{{800, 600}} << 0;
    QTest::newRow("whole page, never less than the viewport")
        << QStringList{"/striped.html", "/wide.html", "/small.html", "--width", "1000",
                       "--height",      "600",        "-o",          "."}
        << QStringList{"striped", "wide", "small"}
        << QList<QSize>{{1000, 3000}, {1500, 600}, {1000, 600}} << 10;
    // Painted in two bands, joined into one file without being decoded.
    QTest::newRow("taller than one band")
        << QStringList{"/towering.html", "--width", "200", "-o", "towering.png"}
        << QStringList{"towering.png"} << QList<QSize>{{200, 40000}} << 10;
    // Measured for the memory gate as it is painted: grown, it is larger
    // than what the unexpanded page would leave room for.
    QTest::newRow("a box that scrolls in place of the page, expanded")
        << QStringList{"/inner.html", "--width",           "1000", "--height",
                       "600",         "--expand-scroller", "-o",   "inner.png"}
        << QStringList{"inner.png"} << QList<QSize>{{1000, 6000}} << 10;
    QTest::newRow("a box that scrolls in place of the page")
        << QStringList{"/inner.html", "--width", "1000", "--height", "600", "-o", "screen.png"}
        << QStringList{"screen.png"} << QList<QSize>{{1000, 600}} << 0;
}

void TestCaptureCommand::pictureSizes()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, files);
    QFETCH(QList<QSize>, sizes);
    QFETCH(int, stripeRows);
    for (QString &argument : arguments)
        if (argument.startsWith(QLatin1Char('/')))
            argument = url(argument);
    const Run run = capture(arguments);
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    const QString port = QString::number(m_server.url("/").port());
    for (qsizetype i = 0; i < files.size(); ++i) {
        QString file = files.at(i);
        if (!file.endsWith(QLatin1String(".png")))
            file = "127.0.0.1_" + port + "_" + file + ".png";
        const QImage image(m_dir->filePath(file));
        QVERIFY2(!image.isNull(), qPrintable(file + " missing: " + run.err));
        QCOMPARE(image.size(), sizes.at(i));
        if (i == 0 && stripeRows > 0)
            QCOMPARE(checkStripes(image, sizes.at(i).width(), sizes.at(i).height(), stripeRows),
                     -1);
    }
}

void TestCaptureCommand::failedPageLeavesTheExistingFile()
{
    // Never answered: the page never finishes loading.
    m_server.addStalled(QStringLiteral("/never.html"));
    const QString address = url(QStringLiteral("/never.html"));

    const QByteArray earlier("the earlier capture");
    const QString path = m_dir->filePath("page.png");
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(earlier), earlier.size());
    }
    const Run run = capture({address, QStringLiteral("-o"), QStringLiteral("page.png"),
                             QStringLiteral("--timeout"), QStringLiteral("1")});
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.errLines(),
             QStringList{"[1/1] " + address +
                         " failed: The page did not finish loading within 1 second."});
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), earlier);
    QCOMPARE(filesIn(m_dir->path()), QStringList{"page.png"});
}

void TestCaptureCommand::laterContentIsWaitedFor_data()
{
    QTest::addColumn<QStringList>("waiting");
    QTest::newRow("network idle") << QStringList{"--wait", "networkidle"};
    QTest::newRow("delay") << QStringList{"--delay", "1000"};
}

void TestCaptureCommand::laterContentIsWaitedFor()
{
    QFETCH(QStringList, waiting);
    const Run run =
        capture(QStringList{url("/growing.html"), "-o", "grown.png", "--height", "600"} + waiting);
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    const QImage image(m_dir->filePath("grown.png"));
    QCOMPARE(image.size(), QSize(1280, 3000));
    QCOMPARE(image.pixel(50, 2990) & 0xffffff, 0x123456u);
}

void TestCaptureCommand::addressesWithoutAPageFail()
{
    // Nothing listens on a port just freed: the browser shows its own error
    // page, which is not the page asked for.
    const QString refused = PageServer::refusedAddress();
    QVERIFY(!refused.isEmpty());
    const Run run = capture({refused, "-o", "refused.png"});
    QCOMPARE(run.exitCode, 1);
    QVERIFY(filesIn(m_dir->path()).isEmpty());
    QVERIFY2(run.err.contains(QLatin1String("refused the connection")), qPrintable(run.err));

    // Addresses that answer with no page at all fail at once, saying so,
    // instead of when the page's time is up.
    QElapsedTimer clock;
    clock.start();
    const Run none = capture({url("/report.bin"), url("/empty"), "-o", "none", "--timeout", "20"});
    QCOMPARE(none.exitCode, 1);
    QVERIFY(filesIn(m_dir->filePath("none")).isEmpty());
    QVERIFY2(none.err.contains(QLatin1String("report.bin failed: The address is a download")),
             qPrintable(none.err));
    QVERIFY2(none.err.contains(QLatin1String("empty failed: The address has no page to show")),
             qPrintable(none.err));
    QVERIFY(clock.elapsed() < 10000);
}

void TestCaptureCommand::pagesThatReloadThemselves()
{
    // Captured as they end up, whether they reload while being painted or
    // while settling, or as they were when the address they go on to never
    // answers (said in their line); one that never stops fails at once,
    // saying so. One page at a time, in the same browser page.
    const QByteArray list = url("/reloads-when-painted.html").toUtf8() + "\n" +
                            url("/reloads-after-load.html").toUtf8() + "\n" +
                            url("/moves-to-nowhere.html").toUtf8() + "\n" +
                            url("/reloads-forever.html").toUtf8() + "\n";
    QElapsedTimer clock;
    clock.start();
    const Run run = capture({"--input", "-", "-o", "shots", "--jobs", "1"}, list);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(clock.elapsed() < 25000, qPrintable(run.err));
    const QString prefix = "shots/127.0.0.1_" + QString::number(m_server.url("/").port()) + "_";
    for (const char *name : {"reloads-when-painted", "reloads-after-load", "moves-to-nowhere"}) {
        const QImage image(m_dir->filePath(prefix + QLatin1String(name) + ".png"));
        QCOMPARE(image.size(), QSize(1280, 3000));
        QCOMPARE(image.pixel(10, 2990) & 0xffffff, 0x00a000u);
    }
    QCOMPARE(filesIn(m_dir->filePath("shots")).size(), 3);
    QVERIFY2(run.err.contains("the page went on to " + url("/nowhere") +
                              ", which did not answer in time"),
             qPrintable(run.err));
    QVERIFY2(run.err.contains("[4/4] " + url("/reloads-forever.html") +
                              " failed: The page kept loading new documents by itself"),
             qPrintable(run.err));
}

void TestCaptureCommand::stoppingLeavesNothingBehind_data()
{
    QTest::addColumn<bool>("terminal");
    QTest::newRow("progress to a log") << false;
    QTest::newRow("progress on a terminal") << true;
}

void TestCaptureCommand::stoppingLeavesNothingBehind()
{
    QFETCH(bool, terminal);
    // Loaded, the second page waits for a request that is never answered.
    m_server.addStalled(QStringLiteral("/stalled.txt"));
    m_server.addPage(QStringLiteral("/settling.html"),
                     "<!DOCTYPE html><p>settling</p><script>addEventListener('load', "
                     "() => fetch('/stalled.txt'))</script>");
    QTemporaryDir temp;
    QVERIFY(temp.isValid());

    int master = -1;
    int slave = -1;
    char slaveName[256] = {};
    QProcess process;
    if (terminal) {
        QVERIFY(::openpty(&master, &slave, slaveName, nullptr, nullptr) == 0);
        ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
        process.setStandardErrorFile(QString::fromLocal8Bit(slaveName));
    }
    QByteArray progress;
    const auto readProgress = [&] {
        if (!terminal) {
            progress += process.readAllStandardError();
            return;
        }
        char buffer[4096];
        for (ssize_t got; (got = ::read(master, buffer, sizeof buffer)) > 0;)
            progress.append(buffer, got);
    };
    const auto closeTerminal = qScopeGuard([&] {
        for (int fd : {master, slave})
            if (fd >= 0)
                ::close(fd);
    });

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TMPDIR"), temp.path());
    environment.insert(QStringLiteral("TERM"), QStringLiteral("xterm"));
    setUp(process,
          {url("/small.html"), url("/settling.html"), QStringLiteral("-o"), QStringLiteral("shots"),
           QStringLiteral("--jobs"), QStringLiteral("1"), QStringLiteral("--wait"),
           QStringLiteral("networkidle")},
          environment);
    process.start();
    QVERIFY(process.waitForStarted());
    const QString port = QString::number(m_server.url("/").port());
    const QString written = "shots/127.0.0.1_" + port + "_small.png";
    QTRY_VERIFY_WITH_TIMEOUT((readProgress(), progress.contains(written.toUtf8())), 60000);
    // The batch is stopped while the second page shows as settling.
    if (terminal)
        QTRY_VERIFY_WITH_TIMEOUT(
            (readProgress(), screenLines(progress).join(QLatin1Char('\n')).contains("[2/2]")),
            20000);
    const QList<qint64> chromium = descendantsWith(process.processId(), QStringLiteral("chromium"));
    QVERIFY2(!chromium.isEmpty(), progress.constData());

    process.terminate();
    QVERIFY(process.waitForFinished(30000));
    readProgress();
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 1);
    // What the user sees last says how far the batch got; no line is left
    // of the page that was given up.
    const QStringList shown = screenLines(progress);
    QVERIFY2(!shown.isEmpty(), progress.constData());
    QCOMPARE(shown.constLast(),
             QStringLiteral("snapvel capture: stopped before the end: 1 of 2 pages captured."));
    QVERIFY2(!shown.join(QLatin1Char('\n')).contains(QLatin1String("[2/2]")), progress.constData());

    QCOMPARE(filesIn(m_dir->filePath("shots")), QStringList{QFileInfo(written).fileName()});
    for (const qint64 pid : chromium)
        QTRY_VERIFY2_WITH_TIMEOUT(!isRunning(pid), qPrintable(QString::number(pid)), 10000);
    QCOMPARE(QDir(temp.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList());
}

QTEST_GUILESS_MAIN(TestCaptureCommand)
#include "tst_capture_e2e.moc"
