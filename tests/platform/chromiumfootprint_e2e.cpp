// Chromium's files stay inside its profile: a real headless Chromium loads and
// paints a page with HOME and TMPDIR pointed at empty folders of the test, and
// leaves nothing in either.
#include "platform/cdp/chromiumbrowser.h"
#include "platform/cdp/chromiumenvironment.h"
#include "support/pageload.h"
#include "support/pageserver.h"
#include "support/waitfor.h"

#include <QDirIterator>
#include <QTemporaryDir>
#include <QtTest>

using namespace snapvel;

namespace {

// Everything under a folder, hidden entries too, relative to it.
QStringList entriesUnder(const QString &path)
{
    QStringList entries;
    QDirIterator it(path, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        entries << QDir(path).relativeFilePath(it.next());
    return entries;
}

bool isInside(const QString &path, const QString &folder)
{
    return path.startsWith(folder + QLatin1Char('/'));
}

} // namespace

class ChromiumFootprintE2E : public QObject
{
    Q_OBJECT

private slots:
    void environmentPointsIntoTheProfile();
    void nothingIsLeftInHomeOrTheTemporaryFolder();
};

void ChromiumFootprintE2E::environmentPointsIntoTheProfile()
{
    QTemporaryDir profile;
    QVERIFY(profile.isValid());
    QProcessEnvironment base;
    base.insert(QStringLiteral("HOME"), QStringLiteral("/home/someone"));
    base.insert(QStringLiteral("XDG_CONFIG_HOME"), QStringLiteral("/home/someone/.config"));
    base.insert(QStringLiteral("CHROME_CONFIG_HOME"), QStringLiteral("/home/someone/chrome"));
    base.insert(QStringLiteral("TMPDIR"), QStringLiteral("/tmp"));
    base.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin"));

    const QProcessEnvironment env = cdp::chromiumEnvironment(profile.path(), base);
    // What the desktop's settings are read through stays.
    for (const char *kept : {"HOME", "XDG_CONFIG_HOME", "PATH"})
        QCOMPARE(env.value(kept), base.value(kept));
    // What Chromium writes through goes into the profile, to folders that exist.
    for (const char *moved : {"CHROME_CONFIG_HOME", "XDG_CACHE_HOME", "TMPDIR"}) {
        QVERIFY2(isInside(env.value(moved), profile.path()), moved);
        QVERIFY2(QFileInfo(env.value(moved)).isDir(), moved);
    }

    // In a profile so deep that Chromium's socket path would not fit a socket
    // address, Chromium would not start with its temporary folder there.
    const QString deep = profile.filePath(QString(80, QLatin1Char('d')));
    const QProcessEnvironment deepEnv = cdp::chromiumEnvironment(deep, base);
    QCOMPARE(deepEnv.value("TMPDIR"), QStringLiteral("/tmp"));
    QVERIFY(isInside(deepEnv.value("CHROME_CONFIG_HOME"), deep));
}

void ChromiumFootprintE2E::nothingIsLeftInHomeOrTheTemporaryFolder()
{
    // Short names: Chromium's socket path must fit under the temporary folder.
    QTemporaryDir root(QDir::temp().filePath(QStringLiteral("fp-XXXXXX")));
    QVERIFY(root.isValid());
    const QString home = root.filePath(QStringLiteral("h"));
    const QString temp = root.filePath(QStringLiteral("t"));
    QVERIFY(QDir().mkpath(home));
    QVERIFY(QDir().mkpath(temp));

    // For the rest of this test program. Chromium's folders would default to
    // ones under HOME.
    qputenv("HOME", QFile::encodeName(home));
    qputenv("TMPDIR", QFile::encodeName(temp));
    for (const char *name : {"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "CHROME_CONFIG_HOME"})
        qunsetenv(name);

    test::PageServer server;
    server.addPage(QStringLiteral("/page.html"),
                   "<!DOCTYPE html><html><body><h1>A page</h1>"
                   "<div style=\"height:3000px;background:#08c\"></div></body></html>");
    {
        ChromiumBrowser browser;
        QVERIFY2(browser.startStatus(), qPrintable(browser.startStatus().error()));
        Page *page = browser.openPage();
        QVERIFY(test::loadAndWait(*page, server.url(QStringLiteral("/page.html")).toString()));
        const Result<QByteArray> painted = test::waitFor<QByteArray>([&](Done<QByteArray> done) {
            page->paint({0, 0, 1280, 3100}, std::move(done));
        });
        QVERIFY2(painted, qPrintable(painted.error()));

        const QString profile = browser.profilePath();
        QVERIFY(isInside(profile, temp));
        // The switches reached Chromium: its HTTP cache is where they say.
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(profile + QStringLiteral("/disk-cache")).isDir(), 5000);
    }

    const QStringList inHome = entriesUnder(home);
    QVERIFY2(inHome.isEmpty(), qPrintable(inHome.join(QLatin1Char(' '))));
    // The profile went with the browser, and so did Chromium's own folders.
    const QStringList inTemp = entriesUnder(temp);
    QVERIFY2(inTemp.isEmpty(), qPrintable(inTemp.join(QLatin1Char(' '))));
}

QTEST_MAIN(ChromiumFootprintE2E)
#include "chromiumfootprint_e2e.moc"
