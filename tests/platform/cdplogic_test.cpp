// The browser layer's own logic, without Chromium: what page events mean,
// resolving addresses, stale profile folders, and a browser that cannot
// start.

#include "platform/cdp/addressresolution.h"
#include "platform/cdp/chromiumbrowser.h"
#include "platform/cdp/chromiumenvironment.h"
#include "platform/cdp/chromiumprocess.h"
#include "platform/cdp/pageevents.h"
#include "platform/cdp/profilefolders.h"
#include "support/waitfor.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

#include <cerrno>
#include <dlfcn.h>
#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/vfs.h>
#include <unistd.h>

using namespace snapvel;
using namespace snapvel::cdp;
using Signal = PageEvents::Signal;

namespace {

QJsonObject frameParams(const QString &frameId)
{
    return {{QStringLiteral("frameId"), frameId}};
}

QJsonObject navigated(const QString &frameId, const QString &url, const QString &parentId = {})
{
    QJsonObject frame{{QStringLiteral("id"), frameId}, {QStringLiteral("url"), url}};
    if (!parentId.isEmpty())
        frame.insert(QStringLiteral("parentId"), parentId);
    return {{QStringLiteral("frame"), frame}};
}

} // namespace

class CdpLogicTest : public QObject
{
    Q_OBJECT

private slots:
    void framesCompleteBeforeTheTopLevelOnce();
    void eachLoadOfThePageCompletesOnce();
    void failedAndSameDocumentNavigations();
    void resolvesAddresses_data();
    void resolvesAddresses();
    void sandboxIsOffOnlyForRoot();
    void startsTheFirstInstalledBrowser();
    void preloadsThePageFaultLibraryOnlyWhereItHelps();
    void thePageFaultLibraryAdvisesOnlyWhatItIsAskedTo();
    void removesOnlyStaleProfileFolders();
    void aMissingBrowserIsReportedByPath();
    void aBrowserThatStopsAtOnceIsReportedAsNotStarted();
};

void CdpLogicTest::framesCompleteBeforeTheTopLevelOnce()
{
    PageEvents events;
    events.reset(QStringLiteral("main"));
    events.navigationRequested();
    QCOMPARE(events.handle(QStringLiteral("Page.frameStartedLoading"), frameParams("main")),
             QList<Signal>{});
    QCOMPARE(events.handle(QStringLiteral("Page.frameNavigated"),
                           navigated("main", "http://127.0.0.1/page.html")),
             QList<Signal>{});
    QCOMPARE(events.handle(QStringLiteral("Page.domContentEventFired"), {}),
             QList<Signal>{Signal::DownloadComplete});
    QCOMPARE(events.handle(QStringLiteral("Page.frameStoppedLoading"), frameParams("child1")),
             QList<Signal>{Signal::FrameComplete});
    QCOMPARE(events.handle(QStringLiteral("Page.frameStoppedLoading"), frameParams("child2")),
             QList<Signal>{Signal::FrameComplete});
    QCOMPARE(events.handle(QStringLiteral("Page.frameStoppedLoading"), frameParams("main")),
             QList<Signal>{Signal::TopLevelComplete});
    // A repeated stop of the page without a new load is not a second one.
    QCOMPARE(events.handle(QStringLiteral("Page.frameStoppedLoading"), frameParams("main")),
             QList<Signal>{});
}

void CdpLogicTest::eachLoadOfThePageCompletesOnce()
{
    PageEvents events;
    events.reset(QStringLiteral("main"));
    // A stop before anything was asked for completes nothing.
    QCOMPARE(events.handle(QStringLiteral("Page.frameStoppedLoading"), frameParams("main")),
             QList<Signal>{});
    // A load the page starts itself (a script redirect, a reload) completes
    // too, after saying that the document was replaced; it is known to be
    // under way from its request to its commit.
    events.handle(QStringLiteral("Page.frameRequestedNavigation"), frameParams("main"));
    QVERIFY(events.pageNavigating());
    events.handle(QStringLiteral("Page.frameStartedLoading"), frameParams("main"));
    const quint64 committed = events.documentsCommitted();
    QCOMPARE(events.handle(QStringLiteral("Page.frameNavigated"),
                           navigated("main", "http://127.0.0.1/again.html")),
             QList<Signal>{Signal::DocumentReplaced});
    QVERIFY(!events.pageNavigating());
    QCOMPARE(events.documentsCommitted(), committed + 1);
    QCOMPARE(events.handle(QStringLiteral("Page.frameStoppedLoading"), frameParams("main")),
             QList<Signal>{Signal::TopLevelComplete});
    // The page's frame id changes when Chromium swaps it for another.
    events.navigationRequested();
    QCOMPARE(events.handle(QStringLiteral("Page.frameNavigated"),
                           navigated("swapped", "http://127.0.0.1/other.html")),
             QList<Signal>{});
    QCOMPARE(events.handle(QStringLiteral("Page.frameNavigated"),
                           navigated("child", "http://127.0.0.1/frame.html", "swapped")),
             QList<Signal>{});
    QCOMPARE(events.handle(QStringLiteral("Page.frameStoppedLoading"), frameParams("swapped")),
             QList<Signal>{Signal::TopLevelComplete});
    // Where the program navigates while the page goes elsewhere, its
    // navigation takes the place of the page's, which is no longer followed.
    events.handle(QStringLiteral("Page.frameRequestedNavigation"), frameParams("swapped"));
    QVERIFY(events.pageNavigating());
    events.navigationRequested();
    QVERIFY(!events.pageNavigating());
}

void CdpLogicTest::failedAndSameDocumentNavigations()
{
    PageEvents events;
    events.reset(QStringLiteral("main"));
    events.navigationRequested();
    const QJsonObject failed{
        {QStringLiteral("frameId"), QStringLiteral("main")},
        {QStringLiteral("loaderId"), QStringLiteral("L1")},
        {QStringLiteral("errorText"), QStringLiteral("net::ERR_CONNECTION_REFUSED")}};
    QCOMPARE(events.navigationAnswered(failed, {}), QList<Signal>{Signal::DownloadComplete});
    QVERIFY(events.errorPageDue());
    // The error page's load ends the download and completes the page.
    QJsonObject errorPage = navigated("main", "chrome-error://chromewebdata/");
    QCOMPARE(events.handle(QStringLiteral("Page.frameNavigated"), errorPage),
             QList<Signal>{Signal::DownloadComplete});
    QCOMPARE(events.errorPageOverdue(), QList<Signal>{});
    QCOMPARE(events.handle(QStringLiteral("Page.frameStoppedLoading"), frameParams("main")),
             QList<Signal>{Signal::TopLevelComplete});
    // The document shown is the browser's, and says so in words.
    const QString refused = QStringLiteral("The page could not be loaded: the server refused the "
                                           "connection (net::ERR_CONNECTION_REFUSED).");
    QCOMPARE(events.documentError(), refused);

    // Ended without a document: a download, an answer with nothing to show,
    // a navigation Chromium would not start, an error page that never came.
    // Each says why once, and a later stop of the page that stays completes
    // nothing.
    const QList<Signal> noDocument{Signal::DownloadComplete, Signal::NavigationFailed};
    const QJsonObject download{{QStringLiteral("loaderId"), QStringLiteral("L3")},
                               {QStringLiteral("errorText"), QStringLiteral("net::ERR_ABORTED")},
                               {QStringLiteral("isDownload"), true}};
    const QJsonObject nothingToShow{
        {QStringLiteral("loaderId"), QStringLiteral("L4")},
        {QStringLiteral("errorText"), QStringLiteral("net::ERR_ABORTED")}};
    const struct
    {
        QJsonObject result;
        QString error;
        const char *why;
    } endings[] = {
        {download, {}, "The address is a download; nothing was saved."},
        {nothingToShow, {}, "The address has no page to show."},
        {{}, QStringLiteral("invalid URL"), "The address could not be loaded: invalid URL"}};
    for (const auto &ending : endings) {
        events.navigationRequested();
        events.handle(QStringLiteral("Page.frameStartedLoading"), frameParams("main"));
        QCOMPARE(events.navigationAnswered(ending.result, ending.error), noDocument);
        QCOMPARE(events.navigationFailure(), QLatin1String(ending.why));
        QCOMPARE(events.handle(QStringLiteral("Page.frameStoppedLoading"), frameParams("main")),
                 QList<Signal>{});
    }
    events.navigationRequested();
    QCOMPARE(events.navigationAnswered(failed, {}), QList<Signal>{Signal::DownloadComplete});
    QCOMPARE(events.errorPageOverdue(), QList<Signal>{Signal::NavigationFailed});
    QCOMPARE(events.navigationFailure(), refused);
    QCOMPARE(events.errorPageOverdue(), QList<Signal>{});
    // The page's own document replaces the error page.
    events.navigationRequested();
    events.handle(QStringLiteral("Page.frameNavigated"), navigated("main", "http://127.0.0.1/"));
    QCOMPARE(events.documentError(), QString());

    // A jump within the document loads nothing and completes at once.
    events.navigationRequested();
    const QJsonObject sameDocument{{QStringLiteral("frameId"), QStringLiteral("main")}};
    QCOMPARE(events.navigationAnswered(sameDocument, {}),
             (QList<Signal>{Signal::DownloadComplete, Signal::TopLevelComplete}));
    // So the next document is not the program's.
    QCOMPARE(events.handle(QStringLiteral("Page.frameNavigated"),
                           navigated("main", "http://127.0.0.1/moved.html")),
             QList<Signal>{Signal::DocumentReplaced});
    const QJsonObject loading{{QStringLiteral("frameId"), QStringLiteral("main")},
                              {QStringLiteral("loaderId"), QStringLiteral("L2")}};
    QCOMPARE(events.navigationAnswered(loading, {}), QList<Signal>{});
}

void CdpLogicTest::resolvesAddresses_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("expected"); // empty: refused
    QTest::newRow("bare host") << "example.com"
                               << "http://example.com";
    QTest::newRow("blanks around") << "  example.com/a  "
                                   << "http://example.com/a";
    QTest::newRow("full address") << "https://example.com/x?y=1"
                                  << "https://example.com/x?y=1";
    QTest::newRow("absolute path") << "/tmp/page.html"
                                   << "file:///tmp/page.html";
    QTest::newRow("javascript") << "javascript:alert(1)"
                                << "";
    QTest::newRow("javascript, any case, leading blanks") << "  JaVaScRiPt:void(0)"
                                                          << "";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("blank") << "   "
                           << "";
    QTest::newRow("data:") << "data:text/html,<p>x</p>"
                           << "data:text/html,%3Cp%3Ex%3C/p%3E";
    QTest::newRow("about:blank") << "about:blank"
                                 << "about:blank";
    QTest::newRow("view-source: of a page") << "view-source:http://example.com/"
                                            << "view-source:http://example.com/";
    QTest::newRow("IDN host") << "http://b\u00fccher.example/"
                              << "http://xn--bcher-kva.example/";
    QTest::newRow("address in the query") << "example.com/?next=http://example.org/"
                                          << "http://example.com/?next=http://example.org/";
    // Spelled with a scheme: taken as written, not guessed into another.
    QTest::newRow("broken host") << "http://[::1/"
                                 << "";
    QTest::newRow("no host") << "https:///page"
                             << "";
    QTest::newRow("garbage") << "ht!tp://%%%"
                             << "";
    QTest::newRow("control character") << "http://example.com/a\u0001b"
                                       << "";
    QTest::newRow("line break") << "http://example.com/a\nb"
                                << "";
    // The browser's own pages, and schemes that show no page.
    QTest::newRow("chrome://") << "chrome://settings"
                               << "";
    QTest::newRow("about: page") << "about:version"
                                 << "";
    QTest::newRow("view-source: of a browser page") << "view-source:chrome://version"
                                                    << "";
    QTest::newRow("mailto:") << "mailto:a@example.com"
                             << "";
    // A folder has no page of its own to capture.
    QTest::newRow("folder") << "/"
                            << "";
    QTest::newRow("folder by file://") << "file:///"
                                       << "";
}

void CdpLogicTest::resolvesAddresses()
{
    QFETCH(QString, address);
    QFETCH(QString, expected);
    const Result<QUrl> url = resolveAddress(address);
    if (expected.isEmpty()) {
        QVERIFY(!url);
        QVERIFY(!url.error().isEmpty());
    } else {
        QVERIFY2(url, qPrintable(url.error()));
        QCOMPARE(url->toString(), expected);
    }
}

void CdpLogicTest::sandboxIsOffOnlyForRoot()
{
    const QString sandboxOff = QStringLiteral("--no-sandbox");
    QVERIFY(!chromiumArguments(QStringLiteral("/tmp/profile"), false).contains(sandboxOff));
    QVERIFY(chromiumArguments(QStringLiteral("/tmp/profile"), true).contains(sandboxOff));
}

void CdpLogicTest::startsTheFirstInstalledBrowser()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString shell = temp.filePath(QStringLiteral("shell"));
    const QString full = temp.filePath(QStringLiteral("full"));
    const auto install = [](const QString &path, bool executable) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.setPermissions(executable ? QFile::ReadOwner | QFile::ExeOwner : QFile::ReadOwner);
    };
    // Neither there: the last is named, for the error to say it is missing.
    QCOMPARE(chromiumExecutable({shell, full}), full);
    install(full, true);
    QCOMPARE(chromiumExecutable({shell, full}), full);
    // A file that is not a program is passed over.
    install(shell, false);
    QCOMPARE(chromiumExecutable({shell, full}), full);
    QFile::setPermissions(shell, QFile::ReadOwner | QFile::ExeOwner);
    QCOMPARE(chromiumExecutable({shell, full}), shell);
}

void CdpLogicTest::preloadsThePageFaultLibraryOnlyWhereItHelps()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QDir root(temp.path());
    QVERIFY(root.mkpath(QStringLiteral("bin")) && root.mkpath(QStringLiteral("lib/snapvel")) &&
            root.mkpath(QStringLiteral("my programs")));
    const auto touch = [](const QString &path) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
    };
    const QString bin = root.filePath(QStringLiteral("bin"));
    const QString madvise = QStringLiteral("always [madvise] never\n");
    const QString always = QStringLiteral("[always] madvise never\n");

    // Installed: found in ../lib/snapvel; beside the program (the build
    // tree) it is preferred.
    QCOMPARE(pageFaultLibrary(bin, madvise, true).path, QString());
    const QString installed = root.filePath(QStringLiteral("lib/snapvel/libsnapvel-pagefaults.so"));
    touch(installed);
    QCOMPARE(pageFaultLibrary(bin, madvise, true).path, QFileInfo(installed).canonicalFilePath());
    const QString beside = root.filePath(QStringLiteral("bin/libsnapvel-pagefaults.so"));
    touch(beside);
    QCOMPARE(pageFaultLibrary(bin, madvise, true).path, QFileInfo(beside).canonicalFilePath());

    // Huge pages only where programs must ask for them; shared memory only
    // without the sandbox; with neither job, nothing is preloaded.
    struct Case
    {
        QString setting;
        bool sandboxed, hugePages, prefault;
    };
    for (const Case &c : {Case{madvise, true, true, false}, Case{madvise, false, true, true},
                          Case{always, false, false, true}, Case{{}, false, false, true},
                          Case{QStringLiteral("always madvise [never]"), false, false, true}}) {
        const PageFaultLibrary library = pageFaultLibrary(bin, c.setting, c.sandboxed);
        QCOMPARE(library.hugePages, c.hugePages);
        QCOMPARE(library.prefaultSharedMemory, c.prefault);
        QVERIFY(!library.path.isEmpty());
    }
    QCOMPARE(pageFaultLibrary(bin, always, true).path, QString());
    // LD_PRELOAD would split a path with a space into two libraries.
    const QString spaced = root.filePath(QStringLiteral("my programs"));
    touch(spaced + QStringLiteral("/libsnapvel-pagefaults.so"));
    QCOMPARE(pageFaultLibrary(spaced, madvise, false).path, QString());

    // What the user preloads stays, and comes first; the library's switches
    // come from the program alone.
    const QString preload = QStringLiteral("LD_PRELOAD");
    const QString huge = QStringLiteral("SNAPVEL_HUGE_PAGES");
    const QString prefault = QStringLiteral("SNAPVEL_PREFAULT_SHARED_MEMORY");
    QProcessEnvironment base;
    base.insert(prefault, QStringLiteral("1"));
    const QString profile = root.filePath(QStringLiteral("profile"));
    QProcessEnvironment environment =
        chromiumEnvironment(profile, base, PageFaultLibrary{beside, true, false});
    QCOMPARE(environment.value(preload), beside);
    QCOMPARE(environment.value(huge), QStringLiteral("1"));
    QVERIFY(!environment.contains(prefault));
    environment = chromiumEnvironment(profile, base);
    QVERIFY(!environment.contains(preload) && !environment.contains(prefault));
    QVERIFY(!chromiumEnvironment(profile, base, PageFaultLibrary{beside}).contains(preload));
    base.insert(preload, QStringLiteral("/usr/lib/theirs.so"));
    environment = chromiumEnvironment(profile, base, PageFaultLibrary{beside, false, true});
    QCOMPARE(environment.value(preload), QStringLiteral("/usr/lib/theirs.so:") + beside);
    QVERIFY(!environment.contains(huge));
    QCOMPARE(environment.value(prefault), QStringLiteral("1"));
    QCOMPARE(chromiumEnvironment(profile, base).value(preload),
             QStringLiteral("/usr/lib/theirs.so"));
}

void CdpLogicTest::thePageFaultLibraryAdvisesOnlyWhatItIsAskedTo()
{
#ifndef SNAPVEL_PAGEFAULTS_LIBRARY
    QSKIP("The page fault library is not built for this processor.");
#else
    if (!QFileInfo::exists(QStringLiteral("/sys/kernel/mm/transparent_hugepage/enabled")))
        QSKIP("This kernel has no transparent huge pages.");
    using Mmap = void *(*)(void *, size_t, int, int, int, off_t);
    // The library loaded with its switches as given (it reads them as it is
    // loaded), and its mmap, called directly: loaded without being
    // preloaded, it does not stand in for this process's own.
    const auto load = [](bool hugePages, bool prefault) -> std::pair<void *, Mmap> {
        qputenv("SNAPVEL_HUGE_PAGES", hugePages ? "1" : "0");
        qputenv("SNAPVEL_PREFAULT_SHARED_MEMORY", prefault ? "1" : "");
        void *library = ::dlopen(SNAPVEL_PAGEFAULTS_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        qunsetenv("SNAPVEL_HUGE_PAGES");
        qunsetenv("SNAPVEL_PREFAULT_SHARED_MEMORY");
        if (!library || !::dlsym(library, "mmap64"))
            return {library, nullptr};
        return {library, reinterpret_cast<Mmap>(::dlsym(library, "mmap"))};
    };

    // One field of the kernel's account of the mapping that starts at
    // address. Files under /proc have no size: read to the end, not up to
    // atEnd().
    const auto field = [](void *address, const QByteArray &name) {
        QFile smaps(QStringLiteral("/proc/self/smaps"));
        if (!smaps.open(QIODevice::ReadOnly))
            return QByteArray();
        const QByteArray all = smaps.readAll();
        const qsizetype at = all.indexOf(QByteArray::number(quintptr(address), 16) + '-');
        const qsizetype from = at < 0 ? -1 : all.indexOf('\n' + name, at);
        if (from < 0)
            return QByteArray();
        return all.mid(from + name.size() + 1, all.indexOf('\n', from + 1) - from - name.size() - 1)
            .simplified();
    };
    // Advised for huge pages: "hg" among its flags.
    const auto advisedHuge = [&field](void *address) {
        return field(address, "VmFlags:").split(' ').contains("hg");
    };
    // Filled in: all of it in memory before anything touched it.
    const auto filledIn = [&field](void *address, size_t length) {
        return field(address, "Rss:") == QByteArray::number(quint64(length / 1024)) + " kB";
    };

    constexpr size_t Tile = 256 * 1024;
    constexpr size_t DataPipe = 2 * 1024 * 1024;
    constexpr size_t Large = 8 * 1024 * 1024;
    struct Case
    {
        size_t length;
        int protection, flags;
        bool shared; // over a memfd
        bool advised;
    };
    for (const bool on : {true, false}) {
        const auto [library, map] = load(on, on);
        QVERIFY2(library && map, ::dlerror());
        for (const Case &c :
             {Case{Large, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, false, on},
              Case{DataPipe / 2, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, false, false},
              Case{Large, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, false, false},
              Case{Tile, PROT_READ | PROT_WRITE, MAP_SHARED, true, on},
              Case{Large, PROT_READ | PROT_WRITE, MAP_SHARED, true, on},
              Case{DataPipe, PROT_READ | PROT_WRITE, MAP_SHARED, true, false},
              Case{Tile, PROT_READ, MAP_SHARED, true, false}}) {
            const int fd = c.shared ? ::memfd_create("pagefaults-test", MFD_CLOEXEC) : -1;
            QVERIFY(!c.shared || (fd >= 0 && ::ftruncate(fd, off_t(c.length)) == 0));
            void *mapping = map(nullptr, c.length, c.protection, c.flags, fd, 0);
            QVERIFY(mapping != MAP_FAILED);
            if (c.shared)
                QCOMPARE(filledIn(mapping, c.length), c.advised);
            else
                QCOMPARE(advisedHuge(mapping), c.advised);
            if (c.protection & PROT_WRITE)
                static_cast<char *>(mapping)[c.length - 1] = 1; // usable as asked
            ::munmap(mapping, c.length);
            if (fd >= 0)
                ::close(fd);
        }
        // A file's shared mapping is never filled in: every page would be
        // written back. (Where the build tree lies on tmpfs there is no such
        // file to try.)
        QTemporaryFile file(QCoreApplication::applicationDirPath() + QStringLiteral("/XXXXXX"));
        struct statfs filesystem;
        QVERIFY(file.open() && file.resize(Tile) && ::fstatfs(file.handle(), &filesystem) == 0);
        if (filesystem.f_type != TMPFS_MAGIC) {
            void *mapping =
                map(nullptr, Tile, PROT_READ | PROT_WRITE, MAP_SHARED, file.handle(), 0);
            QVERIFY(mapping != MAP_FAILED);
            QVERIFY(!filledIn(mapping, Tile));
            ::munmap(mapping, Tile);
        }
        // A mapping the kernel refuses fails as the C library's would.
        errno = 0;
        QCOMPARE(map(nullptr, 0, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0), MAP_FAILED);
        QCOMPARE(errno, EINVAL);
        ::dlclose(library);
    }
#endif
}

void CdpLogicTest::removesOnlyStaleProfileFolders()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    // A process that has ended: its pid names a stale folder.
    QProcess ended;
    ended.start(QStringLiteral("/bin/true"));
    QVERIFY(ended.waitForFinished());
    const qint64 deadPid = ended.processId() ? ended.processId() : 999999;
    const QString stale = QStringLiteral("snapvel-browser-%1-abcDEF").arg(deadPid);
    const QString live = QStringLiteral("snapvel-browser-%1-ghiJKL")
                             .arg(QCoreApplication::applicationPid() == 1 ? 2 : 1);
    const QString own =
        QStringLiteral("snapvel-browser-%1-mnoPQR").arg(QCoreApplication::applicationPid());
    const QString other = QStringLiteral("another-folder");
    for (const QString &folder : {stale, live, own, other})
        QVERIFY(QDir(temp.path()).mkpath(folder + QStringLiteral("/Default")));
    // A process started after its folder was made is not the folder's
    // owner: the owner was killed, and its id given again since.
    const QString unnamed = QStringLiteral("snapvel-browser-0-stuVWX");
    QVERIFY(QDir(temp.path()).mkpath(unnamed + QStringLiteral("/Default")));
    QTest::qWait(300);
    QProcess later;
    later.start(QStringLiteral("/bin/sleep"), {QStringLiteral("30")});
    QVERIFY(later.waitForStarted());
    const QString reused = QStringLiteral("snapvel-browser-%1-stuVWX").arg(later.processId());
    QVERIFY(QDir(temp.path()).rename(unnamed, reused));

    QCOMPARE(removeStaleProfileFolders(temp.path()), 2);
    later.kill();
    later.waitForFinished();
    QDir dir(temp.path());
    QVERIFY(!dir.exists(stale));
    QVERIFY(!dir.exists(reused));
    QVERIFY(dir.exists(live));
    QVERIFY(dir.exists(own));
    QVERIFY(dir.exists(other));
}

void CdpLogicTest::aMissingBrowserIsReportedByPath()
{
    ChromiumBrowserOptions options;
    options.executable = QStringLiteral("/nonexistent/chromium");
    ChromiumBrowser browser(options);
    QVERIFY(!browser.startStatus());
    QVERIFY2(browser.startStatus().error().contains(options.executable),
             qPrintable(browser.startStatus().error()));
    QCOMPARE(browser.processId(), 0);

    // A page asked for is lost at once, saying why, from the event loop.
    Page *page = browser.openPage();
    QVERIFY(page->isLost());
    QSignalSpy lost(page, &Page::lost);
    QCOMPARE(lost.count(), 0);
    QTRY_COMPARE(lost.count(), 1);
    const auto why = lost.at(0).at(0).value<Failure>();
    QCOMPARE(why.kind, FailureKind::BrowserLost);
    QVERIFY2(why.message.contains(options.executable), qPrintable(why.message));

    // Every request fails with the same failure; nothing is loaded.
    const Status navigated = page->navigate(QStringLiteral("http://127.0.0.1/"));
    QVERIFY(!navigated);
    QCOMPARE(navigated.error(), why.message);
    QVERIFY(!page->hasDocument());
    const Result<DocumentMetrics> metrics =
        test::waitFor<DocumentMetrics>([page](auto done) { page->measureDocument(done); });
    QVERIFY(!metrics);
    QCOMPARE(metrics.kind(), FailureKind::BrowserLost);
    const Result<QByteArray> painted =
        test::waitFor<QByteArray>([page](auto done) { page->paint(QRect(0, 0, 10, 10), done); });
    QCOMPARE(painted.error(), why.message);
    const Result<int> pages =
        test::waitFor<int>([&browser](auto done) { browser.countPages(done); });
    QVERIFY(!pages);

    // The layout viewport is kept, and checked.
    QVERIFY(page->setLayoutViewport(QSize(800, 600), 2));
    QCOMPARE(page->layoutViewport(), QSize(800, 600));
    QCOMPARE(page->deviceScale(), 2.0);
    QVERIFY(!page->setLayoutViewport(QSize(0, 600)));
    QVERIFY(!page->setLayoutViewport(QSize(800, 600), 0));
    QCOMPARE(lost.count(), 1);
}

void CdpLogicTest::aBrowserThatStopsAtOnceIsReportedAsNotStarted()
{
    // An executable that runs, complains and exits: it starts, but never
    // answers.
    QTemporaryDir folder;
    const QString program = folder.filePath(QStringLiteral("chromium"));
    QFile script(program);
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write(
        "#!/bin/sh\necho '[12:12:0101/000000.000:ERROR:ozone.cc(42)] Missing X server' >&2\n"
        "exit 3\n");
    script.close();
    QVERIFY(script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    ChromiumBrowserOptions options;
    options.executable = program;
    ChromiumBrowser browser(options);
    QSignalSpy stopped(&browser, &Browser::stopped);
    Page *page = browser.openPage();
    QSignalSpy lost(page, &Page::lost);

    QTRY_COMPARE(stopped.count(), 1);
    const Status started = browser.startStatus();
    QVERIFY(!started);
    QCOMPARE(started.error(), QStringLiteral("The browser could not be started: chromium stopped "
                                             "before it was ready (exit code 3). It said: "
                                             "\"Missing X server\"."));
    QCOMPARE(stopped.at(0).at(0).value<Failure>().message, started.error());
    QTRY_COMPARE(lost.count(), 1);
    QCOMPARE(lost.at(0).at(0).value<Failure>().message, started.error());
}

QTEST_MAIN(CdpLogicTest)
#include "cdplogic_test.moc"
