// What Qt's save dialog remembers stays out of the user's configuration
// folder while the program's transient user settings live.
#include "platform/qtuiservices.h"
#include "platform/transientusersettings.h"

#include <QApplication>
#include <QDirIterator>
#include <QFileDialog>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

using namespace snapvel;

namespace {

// The files under a folder, hidden ones too, relative to it.
QStringList filesUnder(const QString &path)
{
    QStringList files;
    QDirIterator it(path, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(path).relativeFilePath(it.next());
    return files;
}

// Types path into the next save dialog that opens and saves, as a user would.
void chooseInNextSaveDialog(const QString &path)
{
    auto *poll = new QTimer;
    poll->setInterval(20);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, path] {
        // The dialog is not modal (the main window stays usable): find it
        // among the windows.
        QFileDialog *dialog = nullptr;
        for (QWidget *window : QApplication::topLevelWidgets())
            if (auto *found = qobject_cast<QFileDialog *>(window); found && found->isVisible())
                dialog = found;
        auto *name =
            dialog ? dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")) : nullptr;
        if (!name)
            return;
        poll->stop();
        poll->deleteLater();
        name->setText(path);
        static_cast<QDialog *>(dialog)->accept(); // as the Save button does
    });
    poll->start();
}

} // namespace

class TestUserSettings : public QObject
{
    Q_OBJECT

public:
    explicit TestUserSettings(const QString &home) : m_config(QDir(home).filePath(".config")) {}

private slots:
    void saveDialogRemembersNothingInTheUsersFolder();

private:
    QString m_config;
};

void TestUserSettings::saveDialogRemembersNothingInTheUsersFolder()
{
    QtUiServices ui;
    const SaveDialogRequest request{QStringLiteral("Save as BMP"), QStringLiteral("Bitmap(*.bmp)"),
                                    QStringLiteral("*.bmp")};
    QTemporaryDir pictures;
    QVERIFY(pictures.isValid());
    const auto save = [&](const QString &name) {
        chooseInNextSaveDialog(pictures.filePath(name));
        return ui.saveFileName(request) == pictures.filePath(name);
    };

    // Left to itself, the dialog writes its history to the user's folder
    // (checked, so that this test cannot pass by looking in the wrong place).
    QVERIFY(save(QStringLiteral("first.bmp")));
    QCOMPARE(filesUnder(m_config), QStringList{"QtProject.conf"});
    QVERIFY(QDir(m_config).removeRecursively());

    QString transient;
    {
        const TransientUserSettings settings;
        transient = settings.path();
        QVERIFY(!transient.isEmpty());
        QVERIFY(save(QStringLiteral("second.bmp")));
        QVERIFY(save(QStringLiteral("third.bmp")));
        QVERIFY(filesUnder(m_config).isEmpty());
        // The dialog did write: into the program's temporary folder.
        QCOMPARE(filesUnder(transient), QStringList{"QtProject.conf"});
    }
    QVERIFY(!QFileInfo::exists(transient));

    // Afterwards Qt's settings go where they went before, and the deleted
    // folder is not made again.
    QVERIFY(save(QStringLiteral("fourth.bmp")));
    QCOMPARE(filesUnder(m_config), QStringList{"QtProject.conf"});
    QVERIFY(!QFileInfo::exists(transient));
}

int main(int argc, char *argv[])
{
    // Qt takes its settings folder from the environment once, at first use:
    // the test's own empty home is set before anything of Qt runs.
    QTemporaryDir home;
    if (!home.isValid())
        return 1;
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(QDir(home.path()).filePath(".config")));
    QApplication app(argc, argv);
    TestUserSettings tests(home.path());
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&tests, argc, argv);
}

#include "tst_usersettings.moc"
