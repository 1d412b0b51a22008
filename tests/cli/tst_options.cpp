// The capture command's arguments: every mistake is refused with a message
// that names the option at fault, and what is accepted means what it says.
#include "cli/options.h"

#include <QBuffer>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>

using namespace snapvel;
using namespace snapvel::cli;

namespace {

Result<ParsedCommand> parse(const QStringList &arguments, QIODevice *standardInput = nullptr)
{
    return parseCaptureArguments(arguments, ParseContext{4, standardInput});
}

} // namespace

class TestCaptureOptions : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void mistakesAreRefusedByName_data();
    void mistakesAreRefusedByName();
    void defaultsAndValues();
    void outputAndFormat_data();
    void outputAndFormat();
    void addressListsSkipBlanksAndComments();

private:
    QTemporaryDir m_dir;
};

void TestCaptureOptions::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("shots")));
    QFile existing(m_dir.filePath(QStringLiteral("existing.png")));
    QVERIFY(existing.open(QIODevice::WriteOnly));
    QFile empty(m_dir.filePath(QStringLiteral("empty.txt")));
    QVERIFY(empty.open(QIODevice::WriteOnly));
    QVERIFY(empty.write("\n# only a comment\n   \n") > 0);
}

void TestCaptureOptions::mistakesAreRefusedByName_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("named");

    const QString url = QStringLiteral("http://example.com/");
    struct Numeric
    {
        const char *option;
        QStringList bad;
    };
    // Each numeric option with a missing, negative, zero (where zero is
    // wrong), absurd and non-numeric value.
    const Numeric numeric[] = {
        {"--width", {"-1", "0", "100000", "wide", "12.5"}},
        {"--height", {"-1", "0", "100000", "tall"}},
        {"--scale", {"-1", "0", "1000", "big", "nan", "inf"}},
        {"--quality", {"-1", "101", "high"}},
        {"--delay", {"-5", "99999999999", "soon"}},
        {"--timeout", {"-1", "0", "0.0001", "86400", "never"}},
        {"--jobs", {"-2", "0", "100000", "many"}},
        {"-j", {"0"}},
        {"--memory", {"-1", "0", "99999999999", "lots"}},
    };
    for (const Numeric &option : numeric) {
        const QString name = QLatin1String(option.option);
        QTest::addRow("%s missing", option.option) << QStringList{url, name} << name;
        QTest::addRow("%s followed by an option", option.option)
            << QStringList{url, name, QStringLiteral("--viewport")} << name;
        QTest::addRow("%s= empty", option.option)
            << QStringList{url, name + QLatin1Char('=')} << name;
        for (const QString &value : option.bad)
            QTest::addRow("%s %s", option.option, qPrintable(value))
                << QStringList{url, name, value} << name;
    }
    for (const char *option : {"-o", "--output", "--input", "--format", "--wait"})
        QTest::addRow("%s missing", option)
            << QStringList{url, QLatin1String(option)} << QString::fromLatin1(option);

    const QString folder = m_dir.path();
    const QString existing = m_dir.filePath(QStringLiteral("existing.png"));
    QTest::newRow("unknown option") << QStringList{url, "--colour", "red"} << "--colour";
    QTest::newRow("flag with a value") << QStringList{url, "--viewport=yes"} << "--viewport";
    QTest::newRow("wait for what") << QStringList{url, "--wait", "forever"} << "--wait";
    QTest::newRow("format unknown") << QStringList{url, "--format", "gif"} << "--format";
    QTest::newRow("extension unknown") << QStringList{url, "-o", folder + "/a.gif"} << "-o";
    QTest::newRow("format against extension")
        << QStringList{url, "-o", folder + "/a.jpg", "--format", "png"} << "--format";
    QTest::newRow("quality for png")
        << QStringList{url, "-o", folder + "/a.png", "--quality", "50"} << "--quality";
    QTest::newRow("quality for bmp")
        << QStringList{url, "--format", "bmp", "--quality", "50"} << "--quality";
    QTest::newRow("several addresses into one file")
        << QStringList{url, "http://example.org/", "-o", existing} << "-o";
    QTest::newRow("list into one file")
        << QStringList{"--input", m_dir.filePath("empty.txt"), url, "-o", existing} << "-o";
    QTest::newRow("quiet and verbose") << QStringList{url, "-q", "--verbose"} << "--quiet";
    QTest::newRow("no address") << QStringList{"-o", folder} << "address";
    QTest::newRow("list missing") << QStringList{"--input", folder + "/missing.txt"} << "--input";
    QTest::newRow("list is a folder") << QStringList{"--input", folder} << "--input";
    QTest::newRow("list without addresses")
        << QStringList{"--input", m_dir.filePath("empty.txt")} << "--input";
}

void TestCaptureOptions::mistakesAreRefusedByName()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, named);
    const Result<ParsedCommand> parsed = parse(arguments);
    QVERIFY2(!parsed, qPrintable(arguments.join(QLatin1Char(' '))));
    QVERIFY2(parsed.error().contains(named), qPrintable(parsed.error()));
    QVERIFY2(!parsed.error().contains(QLatin1Char('\n')), qPrintable(parsed.error()));
}

void TestCaptureOptions::defaultsAndValues()
{
    const Result<ParsedCommand> defaults = parse({QStringLiteral("example.com")});
    QVERIFY2(defaults, qPrintable(defaults.error()));
    const CaptureSettings &d = defaults->settings;
    QCOMPARE(defaults->action, ParsedCommand::Action::Capture);
    QCOMPARE(d.addresses, QStringList{"example.com"});
    QCOMPARE(d.viewport, QSize(1280, 720));
    QCOMPARE(d.scale, 1.0);
    QCOMPARE(d.waitFor, WaitFor::Load);
    QCOMPARE(d.delay.count(), 0);
    QCOMPARE(d.timeout.count(), 30000);
    QCOMPARE(d.jobs, 4); // the cores
    QCOMPARE(d.format, OutputFormat::Png);
    QVERIFY(d.outputIsFolder);
    QCOMPARE(d.output, QStringLiteral("."));
    QVERIFY(!d.viewportOnly);
    QVERIFY(!d.expandScroller);
    QCOMPARE(d.verbosity, Verbosity::Normal);

    const Result<ParsedCommand> given =
        parse({"--width=800", "--height", "600", "--scale",    "1.5", "--wait",
               "networkidle", "--delay",  "250", "--timeout",  "2.5", "-j",
               "3",           "--memory", "64",  "--viewport", "-v",  "--expand-scroller",
               "--",          "-a.html",  "-o"});
    QVERIFY2(given, qPrintable(given.error()));
    const CaptureSettings &g = given->settings;
    QCOMPARE(g.addresses, (QStringList{"-a.html", "-o"}));
    QCOMPARE(g.viewport, QSize(800, 600));
    QCOMPARE(g.scale, 1.5);
    QCOMPARE(g.waitFor, WaitFor::NetworkIdle);
    QCOMPARE(g.delay.count(), 250);
    QCOMPARE(g.timeout.count(), 2500);
    QCOMPARE(g.jobs, 3);
    QCOMPARE(g.memoryBudget, qint64(64) * 1024 * 1024);
    QVERIFY(g.viewportOnly);
    QVERIFY(g.expandScroller);
    QCOMPARE(g.verbosity, Verbosity::Verbose);

    // Asking for help wins over a mistake beside it.
    const Result<ParsedCommand> help = parse({"example.com", "--width", "0", "--help"});
    QVERIFY2(help, qPrintable(help.error()));
    QCOMPARE(help->action, ParsedCommand::Action::Help);
}

void TestCaptureOptions::outputAndFormat_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("folder");
    QTest::addColumn<OutputFormat>("format");
    QTest::addColumn<int>("quality");

    const QString url = QStringLiteral("http://example.com/");
    const QString dir = m_dir.path();
    using F = OutputFormat;
    QTest::newRow("png") << QStringList{url, "-o", dir + "/a.png"} << false << F::Png << -1;
    QTest::newRow("no extension is png")
        << QStringList{url, "-o", dir + "/a"} << false << F::Png << -1;
    QTest::newRow("no extension, --format")
        << QStringList{url, "-o", dir + "/a", "--format", "bmp"} << false << F::Bmp << -1;
    QTest::newRow("JPG") << QStringList{url, "-o", dir + "/A.JPG"} << false << F::Jpeg << 90;
    QTest::newRow("jpeg quality") << QStringList{url, "-o", dir + "/a.jpeg", "--quality", "40"}
                                  << false << F::Jpeg << 40;
    QTest::newRow("bmp") << QStringList{url, "-o", dir + "/a.bmp"} << false << F::Bmp << -1;
    QTest::newRow("webp lossless")
        << QStringList{url, "-o", dir + "/a.webp"} << false << F::Webp << 100;
    QTest::newRow("existing folder")
        << QStringList{url, "-o", dir + "/shots"} << true << F::Png << -1;
    QTest::newRow("name ending in /")
        << QStringList{url, "-o", dir + "/new/", "--format", "jpg"} << true << F::Jpeg << 90;
    QTest::newRow("several into a new folder")
        << QStringList{url,        "example.org", "-o",        dir + "/new",
                       "--format", "webp",        "--quality", "80"}
        << true << F::Webp << 80;
}

void TestCaptureOptions::outputAndFormat()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, folder);
    QFETCH(OutputFormat, format);
    QFETCH(int, quality);
    if (!checkAvailable(format))
        QSKIP("This format cannot be written here.");
    const Result<ParsedCommand> parsed = parse(arguments);
    QVERIFY2(parsed, qPrintable(parsed.error()));
    QCOMPARE(parsed->settings.outputIsFolder, folder);
    QCOMPARE(parsed->settings.format, format);
    QCOMPARE(parsed->settings.quality, quality);
}

void TestCaptureOptions::addressListsSkipBlanksAndComments()
{
    QByteArray list = "# pages to capture\r\n"
                      "http://a.example/\r\n"
                      "\n"
                      "   http://b.example/page   \n"
                      "\t# indented comment\n"
                      "c.example"; // no final newline
    QBuffer input(&list);
    QVERIFY(input.open(QIODevice::ReadOnly));
    const Result<ParsedCommand> parsed = parse({"first.example", "--input", "-"}, &input);
    QVERIFY2(parsed, qPrintable(parsed.error()));
    QCOMPARE(parsed->settings.addresses, (QStringList{"first.example", "http://a.example/",
                                                      "http://b.example/page", "c.example"}));
    // A list makes a batch even with one address: the output is a folder.
    QVERIFY(parsed->settings.outputIsFolder);
}

QTEST_GUILESS_MAIN(TestCaptureOptions)
#include "tst_options.moc"
