// The queue loader: addressees, gathering files by dialog and by drop, deleting them, and the
// queue rows "Load" makes.
#include "UiFixture.h"
#include "core/Users.h"
#include "ui/QLoadWin.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QTest>
#include <QUrl>

namespace {

class QLoadWinTest : public WindowTest<QLoadWin> {
protected:
    void SetUp() override
    {
        inst.engine->Users = {MakeUserRecord({" ann ", "p"}), MakeUserRecord({"", "nameless"}), "no separator",
                              MakeUserRecord({"bea", "p"})};
        inst.dir.write("one.txt", "1");
        inst.dir.write("two.bin", "22");
    }
    QByteArray Path(const char *name) const { return inst.file(name).toLocal8Bit(); }

    // Drags the mime data over the file list and drops it; returns whether the list took it.
    bool Drop(QMimeData *data)
    {
        QWidget *target = win->fileList()->viewport();
        const QPoint at = target->rect().center();
        QDragEnterEvent enter(at, Qt::CopyAction | Qt::MoveAction, data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &enter);
        if (!enter.isAccepted())
            return false;
        QDropEvent drop(QPointF(at), Qt::CopyAction | Qt::MoveAction, data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &drop);
        return drop.isAccepted() && drop.dropAction() == Qt::CopyAction;
    }
};

TEST_F(QLoadWinTest, SendToListsTheNamedUsersAndSelectsTheFirst)
{
    Open();
    EXPECT_EQ(win->windowTitle(), "Parcelwise File Queue Loader");
    ASSERT_EQ(win->sendTo()->count(), 2);
    EXPECT_EQ(win->sendTo()->itemText(0), "ann");
    EXPECT_EQ(win->sendTo()->itemText(1), "bea");
    EXPECT_EQ(win->sendTo()->currentIndex(), 0);
}

TEST_F(QLoadWinTest, LoadQueuesEveryFileForTheUserChosenWhenItWasAdded)
{
    Open();
    // Blanks around a path would be dropped by the queue file's reader, naming another file.
    win->AddPendingFile(" " + Path("one.txt") + " ");
    ASSERT_EQ(inst.prompt.messages.size(), 1);
    EXPECT_TRUE(inst.prompt.messages[0].contains("begins or ends with a blank")) << inst.prompt.messages[0].toStdString();
    win->AddPendingFile(Path("one.txt"));
    win->AddPendingFile(Path("missing.dat"));
    win->sendTo()->setCurrentIndex(1);
    win->AddPendingFile(Path("two.bin"));
    win->AddPendingFile("   ");
    const QList<QLoadWin::PendingFile> rows = win->PendingFiles();
    ASSERT_EQ(rows.size(), 3);
    EXPECT_EQ(rows[0].image, QLoadWin::FileFound);
    EXPECT_EQ(rows[0].path, Path("one.txt"));
    EXPECT_EQ(rows[0].fileName, "one.txt");
    EXPECT_EQ(rows[1].image, QLoadWin::FileMissing);
    EXPECT_EQ(rows[2].user, "bea");
    SaveScreenshot(win.get(), "qload_win");

    TypeInto(win->findChild<QPlainTextEdit *>("Editfield1"), "hi\x01 there\x02\nsecond line");
    inst.clock.advanceSeconds(90);
    ClickOn(Button("Command1"));
    EXPECT_FALSE(win->isVisible());
    const QueueModel &queue = inst.engine->Queue();
    ASSERT_EQ(queue.rowCount(), 3);
    const QList<QByteArray> users = {"ann", "ann", "bea"};
    const QList<QByteArray> names = {"one.txt", "missing.dat", "two.bin"};
    for (int r = 0; r < 3; ++r) {
        const QueueItem &item = queue.item(r);
        EXPECT_EQ(item.status(), "Q");
        EXPECT_EQ(item.statusText(), "Queued");
        EXPECT_EQ(item.priority(), "3");
        EXPECT_EQ(item.tries(), "0");
        EXPECT_EQ(item.image, QueueItem::ImageQueued);
        EXPECT_EQ(item.userName(), users[r]);
        EXPECT_EQ(item.fileName(), names[r]);
        EXPECT_EQ(item.message(), "hi there\rsecond line");
        EXPECT_EQ(item.nextTry(), FormatDateSerial(inst.clock.nowSerial()));
    }
    EXPECT_EQ(queue.item(2).filePath(), Path("two.bin"));
    EXPECT_EQ(inst.dir.read("Parcelwise_Queue"), EncodeQueueFile(queue.items()));
}

TEST_F(QLoadWinTest, LoadWithNoFilesOrCancelAddsNothing)
{
    Open();
    ClickOn(Button("Command1"));
    EXPECT_FALSE(win->isVisible());
    EXPECT_EQ(inst.engine->Queue().rowCount(), 0);
    EXPECT_FALSE(QFile::exists(inst.file("Parcelwise_Queue")));

    Open();
    win->AddPendingFile(Path("one.txt"));
    ClickOn(Button("Command4"));
    EXPECT_FALSE(win->isVisible());
    EXPECT_EQ(inst.engine->Queue().rowCount(), 0);
}

TEST_F(QLoadWinTest, PathsTheQueueCannotStoreAreRefusedByName)
{
    inst.dir.write("odd\x01name", "1");
    inst.dir.write("odd\x02name", "2");
    Open();
    win->AddPendingFile(Path("one.txt"));
    win->AddPendingFile(Path("odd\x01name"));
    win->AddPendingFile(Path("odd\x02name"));
    ASSERT_EQ(win->PendingFiles().size(), 1);
    ASSERT_EQ(inst.prompt.messages.size(), 2);
    for (const char *shown : {"odd\\x01name", "odd\\x02name"})
        EXPECT_EQ(inst.prompt.messages.count(QStringLiteral("Cannot queue ") + inst.dir.path() + "/" + shown +
                                             ": the path holds a character with code 1 or 2, which the queue "
                                             "file cannot store"),
                  1)
            << inst.prompt.messages.join('|').toStdString();
}

TEST_F(QLoadWinTest, FoldersAreRefusedAsTheyEnterAndMissingFilesAreListed)
{
    QDir(inst.dir.path()).mkdir("a folder");
    // Handed over by another start: the loader gathers them before it shows.
    win = std::make_unique<QLoadWin>(*inst.engine);
    win->AddFiles({inst.file("a folder"), inst.file("later.txt"), inst.file("one.txt")});
    EXPECT_TRUE(inst.prompt.messages.isEmpty()) << "a refusal with no loader on screen";
    win->show();
    ASSERT_TRUE(WaitFor([this] { return !inst.prompt.messages.isEmpty(); }, 2000));
    EXPECT_EQ(inst.prompt.messages,
              QStringList({QStringLiteral("Cannot queue ") + inst.file("a folder") + ": is a folder; only files can be sent"}));
    const QList<QLoadWin::PendingFile> rows = win->PendingFiles();
    ASSERT_EQ(rows.size(), 2);
    EXPECT_EQ(rows[0].image, QLoadWin::FileMissing);
    EXPECT_EQ(win->fileList()->topLevelItem(0)->toolTip(0), "no such file");
    EXPECT_EQ(rows[1].image, QLoadWin::FileFound);
    EXPECT_TRUE(win->fileList()->topLevelItem(1)->toolTip(0).isEmpty());
    // Once on screen, a refusal comes at once.
    win->AddPendingFile(Path("a folder"));
    EXPECT_EQ(inst.prompt.messages.size(), 2);
    EXPECT_EQ(win->PendingFiles().size(), 2);
}

TEST_F(QLoadWinTest, MessageTooLongToTravelQueuesNothing)
{
    Open();
    win->AddPendingFile(Path("one.txt"));
    auto *message = win->findChild<QPlainTextEdit *>("Editfield1");
    message->setPlainText(QString(30000, u'm') + QStringLiteral("\n"));
    ClickOn(Button("Command1"));
    EXPECT_TRUE(win->isVisible());
    EXPECT_EQ(inst.engine->Queue().rowCount(), 0);
    ASSERT_EQ(inst.prompt.messages.size(), 1);
    EXPECT_TRUE(inst.prompt.messages[0].contains("the message is too long: 30001 bytes"))
        << inst.prompt.messages[0].toStdString();
    EXPECT_EQ(win->focusWidget(), message);
    // At the limit it goes.
    message->setPlainText(QString(30000, u'm'));
    ClickOn(Button("Command1"));
    EXPECT_FALSE(win->isVisible());
    ASSERT_EQ(inst.engine->Queue().rowCount(), 1);
    EXPECT_EQ(inst.engine->Queue().item(0).message().size(), 30000);
}

TEST_F(QLoadWinTest, DeleteRemovesTheSelectedFiles)
{
    Open();
    for (const char *name : {"a", "b", "c", "d"})
        win->AddPendingFile(Path(name));
    win->fileList()->topLevelItem(0)->setSelected(true);
    win->fileList()->topLevelItem(2)->setSelected(true);
    ClickOn(Button("Command3"));
    const QList<QLoadWin::PendingFile> rows = win->PendingFiles();
    ASSERT_EQ(rows.size(), 2);
    EXPECT_EQ(rows[0].fileName, "b");
    EXPECT_EQ(rows[1].fileName, "d");
}

TEST_F(QLoadWinTest, DroppedFilesAreAddedInOrderAndOtherDataIsRefused)
{
    Open();
    auto *files = new QMimeData;
    files->setUrls({QUrl::fromLocalFile(inst.file("two.bin")), QUrl::fromLocalFile(inst.file("one.txt"))});
    EXPECT_TRUE(Drop(files));
    auto *text = new QMimeData;
    text->setText("just text");
    EXPECT_FALSE(Drop(text));
    auto *web = new QMimeData;
    web->setUrls({QUrl("https://example.org/file")});
    EXPECT_FALSE(Drop(web));
    const QList<QLoadWin::PendingFile> rows = win->PendingFiles();
    ASSERT_EQ(rows.size(), 2);
    EXPECT_EQ(rows[0].fileName, "two.bin");
    EXPECT_EQ(rows[1].fileName, "one.txt");
    delete files;
    delete text;
    delete web;
}

TEST_F(QLoadWinTest, WithoutAddresseesNothingCanBeAdded)
{
    inst.engine->Users = {MakeUserRecord({"  ", "p"})};
    Open();
    EXPECT_EQ(win->sendTo()->count(), 0);
    win->AddPendingFile(Path("one.txt"));
    auto *files = new QMimeData;
    files->setUrls({QUrl::fromLocalFile(inst.file("one.txt"))});
    Drop(files);
    delete files;
    EXPECT_TRUE(win->PendingFiles().isEmpty());
}

TEST_F(QLoadWinTest, SelectFileUsesTheFileDialogWithItsFilters)
{
    Open();
    QStringList filters;
    WhenModalShown([&](QWidget *dialog) {
        auto *fd = qobject_cast<QFileDialog *>(dialog);
        ASSERT_TRUE(fd);
        filters = fd->nameFilters();
        fd->selectFile(inst.file("two.bin"));
        QMetaObject::invokeMethod(fd, "accept");
    });
    ClickOn(Button("Command2"));
    EXPECT_EQ(filters, QStringList({"All Files (*)", "Text Files (*.txt)"}));
    ASSERT_EQ(win->PendingFiles().size(), 1);
    EXPECT_EQ(win->PendingFiles()[0].path, Path("two.bin"));

    // A cancelled dialog adds nothing.
    WhenModalShown([](QWidget *dialog) {
        if (dialog)
            dialog->close();
    });
    ClickOn(Button("Command2"));
    EXPECT_EQ(win->PendingFiles().size(), 1);
}

TEST_F(QLoadWinTest, FileDialogTakesSeveralFilesStartsAtHomeAndRemembersTheFolder)
{
    // The home folder is a scratch one; the program folder is never where the dialog starts.
    const QByteArray savedHome = qgetenv("HOME");
    const QString home = inst.file("home");
    QDir().mkpath(home + "/pictures");
    QFile::copy(inst.file("one.txt"), home + "/pictures/a.txt");
    QFile::copy(inst.file("two.bin"), home + "/pictures/b.bin");
    qputenv("HOME", home.toLocal8Bit());
    QLoadWin::ForgetLastFolder();
    Open();
    QString startedIn;
    bool several = false;
    WhenModalShown([&](QWidget *dialog) {
        auto *fd = qobject_cast<QFileDialog *>(dialog);
        ASSERT_TRUE(fd);
        startedIn = fd->directory().absolutePath();
        several = fd->fileMode() == QFileDialog::ExistingFiles;
        fd->setDirectory(home + "/pictures");
        fd->selectFile("\"a.txt\" \"b.bin\"");
        QMetaObject::invokeMethod(fd, "accept");
    });
    ClickOn(Button("Command2"));
    EXPECT_EQ(startedIn, home);
    EXPECT_TRUE(several);
    ASSERT_EQ(win->PendingFiles().size(), 2);
    EXPECT_EQ(win->PendingFiles()[0].path, (home + "/pictures/a.txt").toLocal8Bit());
    EXPECT_EQ(win->PendingFiles()[1].path, (home + "/pictures/b.bin").toLocal8Bit());

    // The next loader of this run starts where the files came from; a new run at home again,
    // and a home that is the program folder is passed over.
    Open();
    EXPECT_EQ(win->StartFolder(), home + "/pictures");
    QLoadWin::ForgetLastFolder();
    EXPECT_EQ(win->StartFolder(), home);
    qputenv("HOME", inst.dir.path().toLocal8Bit());
    EXPECT_NE(QDir(win->StartFolder()).canonicalPath().toStdString(), QDir(inst.dir.path()).canonicalPath().toStdString());
    qputenv("HOME", savedHome);
    QLoadWin::ForgetLastFolder();
}

TEST_F(QLoadWinTest, FilesHandedOverAreListedInOrder)
{
    Open();
    win->AddFiles({inst.file("two.bin"), inst.file("missing.txt"), inst.file("one.txt")});
    const auto rows = win->PendingFiles();
    ASSERT_EQ(rows.size(), 3);
    EXPECT_EQ(rows[0].path, Path("two.bin"));
    EXPECT_EQ(rows[1].image, QLoadWin::FileMissing);
    EXPECT_EQ(rows[2].fileName, "one.txt");
    EXPECT_EQ(rows[2].user, "ann");
}

} // namespace

TEST_F(QLoadWinTest, ReturnLoadsTheFiles)
{
    Open();
    win->AddPendingFile(Path("one.txt"));
    QTest::keyClick(win.get(), Qt::Key_Return);
    ASSERT_EQ(inst.engine->Queue().rowCount(), 1);
    EXPECT_EQ(inst.engine->Queue().item(0).fileName(), "one.txt");
}
