// Pages that fight back and addresses that make no sense, with the whole
// program against the real headless Chromium and pages served on 127.0.0.1:
// each ends in a capture or a clear message within the page's timeouts, the
// window keeps responding, nothing is written to disk, and the next capture
// works. One browser serves every case.
#include "app/frmmain.h"
#include "app/picturebox.h"
#include "fakes/scripteduiservices.h"
#include "platform/cdp/chromiumbrowser.h"
#include "platform/cdp/chromiumpage.h"
#include "support/eventloopgap.h"
#include "support/pageserver.h"
#include "support/reloadingpage.h"
#include "support/stripedpage.h"
#include "support/tlspageserver.h"

#include <QDirIterator>
#include <QMimeData>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

using namespace snapvel;
using namespace snapvel::test;
using namespace std::chrono_literals;

namespace {

const ScriptedUiServices::Box kDone = ScriptedUiServices::doneBox();
const QString kFailed = QStringLiteral("Capture failed: ");
const QString kCaption = QStringLiteral("Tarvex Snapvel");
// How long a case may take to end, well beyond the page timeouts below.
constexpr int CaseTimeoutMs = 40000;
// The longest the window may go without running its event loop.
constexpr qint64 LongestGapMs = 500;

// A page of one colour, and nothing else.
QByteArray plainPage(const char *colour)
{
    return QByteArray("<!DOCTYPE html><body style='margin:0;background:") + colour + "'></body>";
}

QColor colourAt(const QImage &image, int x, int y)
{
    return image.isNull() ? QColor() : QColor(image.pixel(x, y));
}

// How an address ended: a capture, a failure, a refusal (a box saying why
// nothing was loaded) or nothing at all.
enum class Outcome
{
    Captured,
    Failed,
    Refused,
    Nothing
};

} // namespace

Q_DECLARE_METATYPE(Outcome)

class TestHostileE2e : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void dialogsAreDismissed();
    void endlessScriptBeforeTheLoadFailsItsCapture();
    void endlessScriptOnAnIdlePageFailsTheNextCaptureAtOnce();
    void slowSubresourceLeavesThePageCapturableByHand();
    void pageReloadingWhilePaintedIsCapturedAsItEndsUp();
    void downloadsWriteNothingAndAreReported();
    void errorsAndChallengesAreCaptured_data();
    void errorsAndChallengesAreCaptured();
    void badAddresses_data();
    void badAddresses();
    void pagesCannotReachLocalFiles();
    void cleanupTestCase();

private:
    // Answers the address prompt with `address` and waits for the box that
    // ends it. Returns how it ended; `said` gets the box's text.
    Outcome open(const QString &address, QString *said = nullptr, int timeoutMs = CaseTimeoutMs);
    bool boxesShown(qsizetype count, int timeoutMs = CaseTimeoutMs);
    // Loads the plain green page and checks that it is captured.
    void nextCaptureWorks();
    QString url(const char *path) const { return m_server->url(QLatin1String(path)).toString(); }

    QTemporaryDir m_home;
    std::unique_ptr<PageServer> m_server;
    std::unique_ptr<TlsPageServer> m_tls;
    std::unique_ptr<ChromiumBrowser> m_browser;
    std::unique_ptr<ScriptedUiServices> m_ui;
    std::unique_ptr<frmMain> m_form;
    std::unique_ptr<EventLoopGap> m_gap;
};

void TestHostileE2e::initTestCase()
{
    // Chromium's downloads would go to $HOME/Downloads: a fresh, empty one.
    QVERIFY(m_home.isValid());
    qputenv("HOME", m_home.path().toLocal8Bit());
    qunsetenv("XDG_DOWNLOAD_DIR");

    m_server = std::make_unique<PageServer>();
    m_server->addPage("/green.html", plainPage("rgb(0,160,0)"));
    m_tls = std::make_unique<TlsPageServer>(plainPage("rgb(120,0,120)"));
    ChromiumBrowserOptions options;
    // A hung renderer is noticed within about four seconds.
    options.pageTimeouts.responsive = 3s;
    m_browser = std::make_unique<ChromiumBrowser>(options);
    QVERIFY2(m_browser->startStatus(), qPrintable(m_browser->startStatus().error()));
    m_ui = std::make_unique<ScriptedUiServices>();
    m_form = std::make_unique<frmMain>(*m_browser, *m_ui, [] {});
    m_form->Timer1->stop();
    m_form->show();
    m_gap = std::make_unique<EventLoopGap>();
}

void TestHostileE2e::init()
{
    m_gap->reset();
}

void TestHostileE2e::cleanup()
{
    QVERIFY2(m_gap->respondedWithin(LongestGapMs, 1000), qPrintable(m_gap->describe()));
}

void TestHostileE2e::cleanupTestCase()
{
    m_form.reset();
    m_browser.reset();
}

bool TestHostileE2e::boxesShown(qsizetype count, int timeoutMs)
{
    return QTest::qWaitFor([&] { return m_ui->boxes.size() >= count; }, timeoutMs);
}

Outcome TestHostileE2e::open(const QString &address, QString *said, int timeoutMs)
{
    const qsizetype before = m_ui->boxes.size();
    m_ui->inputAnswers.enqueue(address);
    m_form->mnuOpen_Click();
    // A refusal is said at once; nothing else may come meanwhile.
    const bool refused = m_ui->boxes.size() > before;
    if (!refused && !boxesShown(before + 1, address.isEmpty() ? 1000 : timeoutMs))
        return Outcome::Nothing;
    const ScriptedUiServices::Box box = m_ui->boxes.at(before);
    if (said)
        *said = box.prompt;
    if (refused)
        return box.style == 48 && box.title == kCaption ? Outcome::Refused : Outcome::Nothing;
    if (box == kDone)
        return Outcome::Captured;
    if (box.prompt.startsWith(kFailed) && box.style == 48 && box.title == kCaption)
        return Outcome::Failed;
    qWarning("unexpected box: %s", qPrintable(box.prompt));
    return Outcome::Nothing;
}

void TestHostileE2e::nextCaptureWorks()
{
    QString said;
    QCOMPARE(open(url("/green.html"), &said), Outcome::Captured);
    QCOMPARE(colourAt(m_form->capture(), 10, 10), QColor(0, 160, 0));
    QCOMPARE(m_form->windowTitle(), kCaption);
}

void TestHostileE2e::dialogsAreDismissed()
{
    // Dialogs while the page is parsed, in a frame and in onload; the page
    // turns green only when confirm() answered false and prompt() null, as
    // Cancel does.
    m_server->addPage("/dialogs.html", R"(<!DOCTYPE html>
<body style='margin:0;background:rgb(200,0,0)'>
<iframe src='/dialog-frame.html' style='position:absolute;left:500px;top:0'></iframe>
<script>
alert('parsing');
const answers = [confirm('sure?'), prompt('name?', 'someone')];
onload = () => {
    alert('loaded');
    if (answers[0] === false && answers[1] === null)
        document.body.style.background = 'rgb(0,0,200)';
};
</script></body>)");
    m_server->addPage("/dialog-frame.html",
                      "<!DOCTYPE html><script>alert('frame'); confirm('frame?'); "
                      "prompt('frame?')</script>frame");
    QString said;
    QCOMPARE(open(url("/dialogs.html"), &said), Outcome::Captured);
    QCOMPARE(colourAt(m_form->capture(), 10, 10), QColor(0, 0, 200));

    // A page that asks before it is left, once the user has touched it (a
    // prompt is shown only then): the next address still loads.
    m_server->addPage("/leave.html", "<!DOCTYPE html><body style='background:rgb(200,0,0)'>"
                                     "<script>onbeforeunload = (e) => { e.preventDefault(); "
                                     "e.returnValue = 'stay'; return 'stay'; };</script></body>");
    QCOMPARE(open(url("/leave.html"), &said), Outcome::Captured);
    auto *page = qobject_cast<ChromiumPage *>(m_form->WebBrowser1);
    QVERIFY(page);
    bool touched = false;
    page->call(QStringLiteral("Runtime.evaluate"),
               {{QStringLiteral("expression"), QStringLiteral("1")},
                {QStringLiteral("userGesture"), true}},
               [&touched](const Result<QJsonObject> &reply) { touched = reply.ok(); });
    QTRY_VERIFY(touched);
    nextCaptureWorks();
}

void TestHostileE2e::endlessScriptBeforeTheLoadFailsItsCapture()
{
    m_server->addPage("/loop.html", "<!DOCTYPE html><body>looping<script>while (true) {}"
                                    "</script></body>");
    QString said;
    QCOMPARE(open(url("/loop.html"), &said), Outcome::Failed);
    QCOMPARE(said, kFailed + QStringLiteral("The page stopped responding."));
    QCOMPARE(m_form->windowTitle(), kCaption);
    QVERIFY(!m_form->AutoSnapFlag);
    // Its tab is closed; the next address loads in a fresh page.
    nextCaptureWorks();
}

void TestHostileE2e::endlessScriptOnAnIdlePageFailsTheNextCaptureAtOnce()
{
    m_server->addPage("/later.html", "<!DOCTYPE html><body>busy soon<script>onload = () => "
                                     "setTimeout(() => { for (;;) {} }, 300);</script></body>");
    // Dropped: loaded, but not captured by itself.
    QMimeData drop;
    drop.setText(url("/later.html"));
    m_form->Picture2_OLEDragDrop(&drop);
    const qsizetype boxes = m_ui->boxes.size();
    QTRY_VERIFY_WITH_TIMEOUT(m_form->WebBrowser1->isLost(), CaseTimeoutMs);
    QCOMPARE(m_ui->boxes.size(), boxes); // nobody was waiting for it

    QElapsedTimer clock;
    clock.start();
    m_form->Command1_Click();
    QVERIFY(boxesShown(boxes + 1, 2000));
    QCOMPARE(m_ui->boxes.constLast().prompt,
             kFailed + QStringLiteral("The page stopped responding."));
    QVERIFY(clock.elapsed() < 2000);
    nextCaptureWorks();
}

void TestHostileE2e::slowSubresourceLeavesThePageCapturableByHand()
{
    m_server->addPage("/slow.html", "<!DOCTYPE html><body style='margin:0;background:"
                                    "rgb(0,0,200)'><img src='/never.png'></body>");
    m_server->addStalled("/never.png");
    const qsizetype boxes = m_ui->boxes.size();
    m_ui->inputAnswers.enqueue(url("/slow.html"));
    m_form->mnuOpen_Click();
    QTRY_COMPARE_WITH_TIMEOUT(m_form->windowTitle(), frmMain::kLoadingCaption, CaseTimeoutMs);
    // Busy on the network, not hung: still loading well past the time a hung
    // renderer takes to be noticed.
    QTest::qWait(6000);
    QCOMPARE(m_ui->boxes.size(), boxes);
    QVERIFY(!m_form->WebBrowser1->isLost());
    QVERIFY(m_form->AutoSnapFlag);
    m_form->Command1_Click();
    QVERIFY(boxesShown(boxes + 1));
    QCOMPARE(m_ui->boxes.constLast(), kDone);
    QCOMPARE(colourAt(m_form->capture(), 10, 10), QColor(0, 0, 200));
}

void TestHostileE2e::pageReloadingWhilePaintedIsCapturedAsItEndsUp()
{
    // Chromium never answers a paint whose document goes away under it.
    m_server->addPage("/reloads.html", reloadingPageHtml(Reloads::WhenPainted));
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(open(url("/reloads.html")), Outcome::Captured);
    QVERIFY(clock.elapsed() < 10000);
    QCOMPARE(colourAt(m_form->capture(), 10, 2990), QColor(0, 160, 0));
    QVERIFY(!m_form->WebBrowser1->isLost());
}

void TestHostileE2e::downloadsWriteNothingAndAreReported()
{
    const QByteArray payload =
        "SNAPVEL-DOWNLOAD-PAYLOAD-" + QByteArray::number(QRandomGenerator::global()->generate64());
    m_server->addResponse("/report.bin", "200 OK",
                          "Content-Disposition: attachment; filename=\"report.bin\"\r\n",
                          payload + " first", "application/octet-stream");
    m_server->addResponse("/hidden.bin", "200 OK",
                          "Content-Disposition: attachment; filename=\"hidden.bin\"\r\n",
                          payload + " hidden", "application/octet-stream");
    m_server->addPage("/hidden-download.html",
                      "<!DOCTYPE html><body style='margin:0;background:rgb(0,0,200)'>"
                      "<iframe style='display:none' src='/hidden.bin'></iframe></body>");
    const QString downloadFailure =
        kFailed + QStringLiteral("The address is a download; nothing was saved.");

    QString said;
    QCOMPARE(open(url("/report.bin"), &said), Outcome::Failed);
    QCOMPARE(said, downloadFailure);
    QCOMPARE(m_form->windowTitle(), kCaption);
    // A program file: Chromium cannot show it, so it would be downloaded.
    QCOMPARE(open(QStringLiteral("file:///usr/bin/ls"), &said), Outcome::Failed);
    QCOMPARE(said, downloadFailure);
    // A frame's download is refused as well; the page itself is captured.
    QCOMPARE(open(url("/hidden-download.html"), &said), Outcome::Captured);
    QCOMPARE(colourAt(m_form->capture(), 10, 10), QColor(0, 0, 200));
    QTRY_VERIFY(m_server->requestedPaths().contains("/hidden.bin"));

    // Nothing under $HOME or in the profile holds a downloaded file.
    QTest::qWait(1000);
    for (const QString &folder : {m_home.path(), m_browser->profilePath()}) {
        QDirIterator files(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (files.hasNext()) {
            const QString path = files.next();
            const QString name = files.fileName();
            QVERIFY2(!name.endsWith(QLatin1String(".bin")) && name != QLatin1String("ls") &&
                         !name.endsWith(QLatin1String(".crdownload")),
                     qPrintable(path));
            QFile file(path);
            if (file.open(QIODevice::ReadOnly))
                QVERIFY2(!file.readAll().contains(payload), qPrintable(path));
        }
    }
    m_gap->reset(); // the search above is the test's own work
    QVERIFY(!QDir(m_home.filePath(QStringLiteral("Downloads"))).exists() ||
            QDir(m_home.filePath(QStringLiteral("Downloads"))).isEmpty());
    nextCaptureWorks();
}

void TestHostileE2e::errorsAndChallengesAreCaptured_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QColor>("colour"); // invalid: the browser's error page

    m_server->addResponse("/private.html", "401 Unauthorized",
                          "WWW-Authenticate: Basic realm=\"snapvel\"\r\n",
                          plainPage("rgb(0,0,120)"));
    m_server->addResponse("/missing.html", "404 Not Found", {}, plainPage("rgb(0,120,0)"));
    m_server->addResponse("/broken.html", "500 Internal Server Error", {},
                          plainPage("rgb(120,0,0)"));
    const QString refused = PageServer::refusedAddress();
    QVERIFY(!refused.isEmpty());
    QTest::newRow("401 basic authentication challenge")
        << url("/private.html") << QColor(0, 0, 120);
    QTest::newRow("404 not found") << url("/missing.html") << QColor(0, 120, 0);
    QTest::newRow("500 server error") << url("/broken.html") << QColor(120, 0, 0);
    QTest::newRow("connection refused") << refused << QColor();
    QTest::newRow("name that does not resolve")
        << QStringLiteral("http://nonexistent.invalid/") << QColor();
    QTest::newRow("self-signed certificate") << QStringLiteral("https") << QColor();
}

void TestHostileE2e::errorsAndChallengesAreCaptured()
{
    QFETCH(QString, address);
    QFETCH(QColor, colour);
    if (address == QLatin1String("https")) {
        if (!m_tls->unavailable().isEmpty())
            QSKIP(qPrintable(QStringLiteral("no HTTPS server: ") + m_tls->unavailable()));
        address = m_tls->url().toString();
    }
    QString said;
    QCOMPARE(open(address, &said), Outcome::Captured);
    if (colour.isValid())
        QCOMPARE(colourAt(m_form->capture(), 10, 10), colour);
    else
        QVERIFY(!m_form->capture().isNull());
}

void TestHostileE2e::badAddresses_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<QString>("said"); // the start of the box's text
    QTest::addColumn<QColor>("colour");

    static QTemporaryDir folder;
    const QString page = url("/green.html");
    const QColor green(0, 160, 0);
    QTest::newRow("empty") << QString() << Outcome::Nothing << QString() << QColor();
    QTest::newRow("blanks only") << QStringLiteral("   ") << Outcome::Refused
                                 << QStringLiteral("No address was given.") << QColor();
    QTest::newRow("10,000 characters") << page + QLatin1Char('/') + QString(10000, QLatin1Char('a'))
                                       << Outcome::Captured << QString() << QColor();
    QTest::newRow("control characters")
        << QStringLiteral("http://127.0.0.1/gre") + QChar(1) + QStringLiteral("en.html")
        << Outcome::Refused << QStringLiteral("control characters") << QColor();
    QTest::newRow("line break") << QStringLiteral("http://127.0.0.1/\nx") << Outcome::Refused
                                << QStringLiteral("control characters") << QColor();
    QTest::newRow("javascript:") << QStringLiteral(" JavaScript:document.write(1)")
                                 << Outcome::Refused << QStringLiteral("Addresses that run script")
                                 << QColor();
    QTest::newRow("data:") << QStringLiteral("data:text/html,<body style='margin:0;background:"
                                             "rgb(0,160,0)'>")
                           << Outcome::Captured << QString() << green;
    QTest::newRow("folder") << QUrl::fromLocalFile(folder.path()).toString() << Outcome::Refused
                            << QStringLiteral("is a folder") << QColor();
    QTest::newRow("missing file") << QStringLiteral("file:///nonexistent/page.html")
                                  << Outcome::Captured << QString() << QColor();
    QTest::newRow("IDN host") << QString(page).replace(QLatin1String("127.0.0.1"),
                                                       QStringLiteral("bücher.localhost"))
                              << Outcome::Captured << QString() << green;
    QTest::newRow("about:blank") << QStringLiteral("about:blank") << Outcome::Captured << QString()
                                 << QColor(Qt::white);
    QTest::newRow("view-source:") << QStringLiteral("view-source:") + url("/green.html")
                                  << Outcome::Captured << QString() << QColor();
    QTest::newRow("chrome://settings")
        << QStringLiteral("chrome://settings") << Outcome::Refused << QString() << QColor();
    QTest::newRow("chrome://version")
        << QStringLiteral("CHROME://version/") << Outcome::Refused << QString() << QColor();
    QTest::newRow("about:version")
        << QStringLiteral("about:version") << Outcome::Refused << QString() << QColor();
    QTest::newRow("mailto:") << QStringLiteral("mailto:someone@example.com") << Outcome::Refused
                             << QString() << QColor();
    QTest::newRow("garbage") << QStringLiteral("ht!tp://%%%") << Outcome::Refused
                             << QStringLiteral("\"ht!tp://%%%\" is not an address") << QColor();
    // Readable as root, refused by the browser's error page otherwise.
    QTest::newRow("/etc/shadow") << QStringLiteral("file:///etc/shadow") << Outcome::Captured
                                 << QString() << QColor();
}

void TestHostileE2e::badAddresses()
{
    QFETCH(QString, address);
    QFETCH(Outcome, outcome);
    QFETCH(QString, said);
    QFETCH(QColor, colour);
    QString box;
    QCOMPARE(open(address, &box), outcome);
    // A refusal says why: as given, or that the address is of no page.
    if (outcome == Outcome::Refused)
        QVERIFY2(box.contains(said.isEmpty() ? QStringLiteral("only web pages (http, https), "
                                                              "files and data:")
                                             : said),
                 qPrintable(box));
    if (colour.isValid())
        QCOMPARE(colourAt(m_form->capture(), 10, 10), colour);
    QCOMPARE(m_form->windowTitle(), kCaption);
    if (outcome != Outcome::Captured)
        nextCaptureWorks();
}

void TestHostileE2e::pagesCannotReachLocalFiles()
{
    // Reads a local file, then sends the whole page to one: green when both
    // were refused.
    m_server->addPage("/snoop.html", R"(<!DOCTYPE html>
<body style='margin:0;background:rgb(200,0,0)'><script>
let read = true;
try {
    const request = new XMLHttpRequest();
    request.open('GET', 'file:///etc/hostname', false);
    request.send();
} catch (e) {
    read = false;
}
if (!read)
    document.body.style.background = 'rgb(0,160,0)';
try { top.location.href = 'file:///etc/hostname'; } catch (e) {}
</script></body>)");
    QString said;
    QCOMPARE(open(url("/snoop.html"), &said), Outcome::Captured);
    QCOMPARE(colourAt(m_form->capture(), 10, 10), QColor(0, 160, 0));
    // The page is still the one captured, not the file.
    QTest::qWait(500);
    const qsizetype boxes = m_ui->boxes.size();
    m_form->Command1_Click();
    QVERIFY(boxesShown(boxes + 1));
    QCOMPARE(m_ui->boxes.constLast(), kDone);
    QCOMPARE(colourAt(m_form->capture(), 10, 10), QColor(0, 160, 0));
}

QTEST_MAIN(TestHostileE2e)
#include "tst_hostile_e2e.moc"
