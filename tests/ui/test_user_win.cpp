// The users window: its checks and messages, adding, updating, deleting and clearing entries,
// and what reaches the engine's address book and the users file.
#include "UiFixture.h"
#include "core/TextUtil.h"
#include "core/Users.h"
#include "ui/UserWin.h"
#include "ui/Widgets.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QScrollArea>
#include <QStyleOptionViewItem>
#include <QTest>
#include <QTreeWidget>

namespace {

class UserWinTest : public WindowTest<UserWin> {
protected:
    void Fill(const QString &name, const QString &password, const QString &sendName = "them",
              const QString &sendPassword = "theirs", const QString &address = "10.0.0.9", const QString &port = "5000")
    {
        TypeInto(Edit("Editfield5"), name);
        TypeInto(Edit("Editfield6"), password);
        TypeInto(Edit("Editfield1"), sendName);
        TypeInto(Edit("Editfield2"), sendPassword);
        TypeInto(Edit("Editfield3"), address);
        TypeInto(Edit("Editfield4"), port);
    }

    // What the users file on disk holds.
    UserList Stored() const
    {
        UserList users;
        LoadUsersFile(inst.dir.path(), users);
        return users;
    }
};

TEST_F(UserWinTest, RefusesBadInputWithAMessageAndTheFocusOnTheField)
{
    struct Case {
        QString name, password, message;
        const char *focused;
    };
    const Case cases[] = {
        {"bob", "", "Please Enter a Password", "Editfield6"},
        {"b\x02", "", "Please Enter a Password", "Editfield6"}, // the password is checked first
        {"b\x01ob", "pw", "Invalid Name", "Editfield5"},
        {"b\x02ob", "pw", "Invalid Name", "Editfield5"},
        {"bob\r", "pw", "Invalid Name", "Editfield5"},
        {"bob", "p\x01w", "Invalid Password", "Editfield6"},
        {"bob", "\x02", "Invalid Password", "Editfield6"},
        {"bob", "pw\r", "Invalid Password", "Editfield6"},
    };
    Open();
    for (const Case &c : cases) {
        inst.prompt.messages.clear();
        Fill(c.name, c.password);
        Edit("Editfield3")->setFocus();
        ClickOn(Button("Command1"));
        EXPECT_EQ(inst.prompt.messages, QStringList({c.message})) << c.name.toStdString();
        EXPECT_EQ(win->focusWidget(), Edit(c.focused)) << c.name.toStdString();
        EXPECT_EQ(win->RowCount(), 0);
    }
    EXPECT_TRUE(inst.engine->Users.isEmpty());
    EXPECT_FALSE(QFile::exists(inst.file("Parcelwise_Users")));
}

TEST_F(UserWinTest, AddsUpdatesAndKeepsNamesThatDifferInCase)
{
    Open();
    Fill("  bob ", " pw ", " them ", " theirs ", " host.example ", " 4445 ");
    ClickOn(Button("Command1"));
    ASSERT_TRUE(inst.prompt.messages.isEmpty());
    const UserRecord first = MakeUserRecord({"bob", "pw", "them", "theirs", "S", "host.example", "4445"});
    EXPECT_EQ(inst.engine->Users, UserList({first}));
    EXPECT_EQ(Stored(), UserList({first}));

    // The same name replaces the row's fields.
    Fill("bob", "new", "t2", "p2", "10.1.1.1", "");
    ClickOn(Radio("RadioButton2"));
    ClickOn(Button("Command1"));
    EXPECT_EQ(Edit("Editfield4")->text(), "4444");
    const UserRecord updated = MakeUserRecord({"bob", "new", "t2", "p2", "D", "10.1.1.1", "4444"});
    EXPECT_EQ(inst.engine->Users, UserList({updated}));

    // Another case is another user, added at the end.
    Fill("Bob", "x");
    ClickOn(Button("Command1"));
    ASSERT_EQ(win->RowCount(), 2);
    EXPECT_EQ(FieldOf(inst.engine->Users[1], UserName), "Bob");
    EXPECT_EQ(Stored(), inst.engine->Users);
}

TEST_F(UserWinTest, RefusesRecordCodesInTheOtherFieldsAndBadPortsByName)
{
    struct Case {
        QString sendName, sendPassword, address, port;
        bool dynamic;
        QString message;
        const char *focused;
    };
    const QChar one(1), two(2);
    const Case cases[] = {
        {"th" + QString(one) + "em", "x", "h", "1", false, "Invalid Sending Name", "Editfield1"},
        {"them", "the" + QString(two) + "irs", "h", "1", false, "Invalid Sending Password", "Editfield2"},
        {"them", "theirs\r", "h", "1", false, "Invalid Sending Password", "Editfield2"},
        {"them", "x", "\r 10.0.0.1", "1", false, "Invalid IP Address/URL", "Editfield3"},
        {"them", "x", "h", "44" + QString(two) + "45", false, "Please enter a port between 1 and 65535", "Editfield4"},
        {"them", "x", "h", "65536", false, "Please enter a port between 1 and 65535", "Editfield4"},
        {"them", "x", "h", "0", false, "Please enter a port between 1 and 65535", "Editfield4"},
        {"them", "x", "h", "44a", false, "Please enter a port between 1 and 65535", "Editfield4"},
    };
    Open();
    for (const Case &c : cases) {
        inst.prompt.messages.clear();
        ClickOn(Radio(c.dynamic ? "RadioButton2" : "RadioButton1"));
        Fill("bob", "pw", c.sendName, c.sendPassword, c.address, c.port);
        ClickOn(Button("Command1"));
        EXPECT_EQ(inst.prompt.messages, QStringList({c.message})) << c.message.toStdString() << " " << c.port.toStdString();
        EXPECT_EQ(win->focusWidget(), Edit(c.focused)) << c.message.toStdString();
    }
    EXPECT_EQ(win->RowCount(), 0);
    EXPECT_FALSE(QFile::exists(inst.file("Parcelwise_Users")));

    // The port is of no matter for a dynamic address, which takes its port from the page; greyed
    // out, it is kept without the codes that would break the record.
    inst.prompt.messages.clear();
    ClickOn(Radio("RadioButton2"));
    Fill("bob", "pw", "them", "theirs", "page.example", "a" + QString(two) + "bc\r");
    ClickOn(Button("Command1"));
    EXPECT_TRUE(inst.prompt.messages.isEmpty());
    EXPECT_EQ(inst.engine->Users, UserList({MakeUserRecord({"bob", "pw", "them", "theirs", "D", "page.example", "abc"})}));
    // The stored record still has exactly nine fields.
    EXPECT_EQ(CountFields(Stored().value(0), QByteArray(1, '\x01')), 10);
}

TEST_F(UserWinTest, EmptyNameSavesTheListAsItIsAndBlankNameIsStoredEmpty)
{
    inst.engine->Users = {MakeUserRecord({"ann", "pw", "", "", "S", "a", "4444"})};
    Open();
    Fill("", "pw", "ignored");
    ClickOn(Button("Command1"));
    EXPECT_TRUE(inst.prompt.messages.isEmpty());
    EXPECT_EQ(win->RowCount(), 1);
    EXPECT_EQ(Stored(), inst.engine->Users);

    Fill("   ", "pw");
    ClickOn(Button("Command1"));
    ASSERT_EQ(win->RowCount(), 2);
    EXPECT_EQ(FieldOf(inst.engine->Users[1], UserName), "");
}

TEST_F(UserWinTest, OpeningFillsTheListAndARowClickFillsTheFields)
{
    inst.engine->Users = {MakeUserRecord({" ann ", "pw1", "me", "mine", "D", "https://pages.example.net/people/ann.html", "5000"}), QByteArray(),
                          MakeUserRecord({"carl", "pw2", "c", "cp", "S", "10.0.0.3", "4446"})};
    Open();
    ASSERT_EQ(win->RowCount(), 2);
    EXPECT_EQ(win->RowFields(0).value(0), "ann");
    EXPECT_EQ(win->RowFields(1).value(5), "10.0.0.3");
    // The list shows each user's type and address whole, not cut short.
    QTreeWidget *list = win->list();
    QStyleOptionViewItem option;
    option.initFrom(list->viewport());
    for (int row = 0; row < 2; ++row)
        for (int column : {int(UserAddressType), int(UserAddress)}) {
            const QModelIndex at = list->model()->index(row, column);
            EXPECT_GE(list->columnWidth(column), list->itemDelegate()->sizeHint(option, at).width())
                << at.data().toString().toStdString();
        }

    emit win->list()->itemClicked(win->list()->topLevelItem(0), 1);
    EXPECT_EQ(Edit("Editfield5")->text(), "ann");
    EXPECT_EQ(Edit("Editfield6")->text(), "pw1");
    EXPECT_EQ(Edit("Editfield1")->text(), "me");
    EXPECT_EQ(Edit("Editfield2")->text(), "mine");
    EXPECT_EQ(Edit("Editfield3")->text(), "https://pages.example.net/people/ann.html");
    EXPECT_EQ(Edit("Editfield4")->text(), "5000");
    EXPECT_TRUE(Radio("RadioButton2")->isChecked());
    EXPECT_FALSE(Edit("Editfield4")->isEnabled());

    // The port is greyed out, not emptied, and is stored with the dynamic type.
    ClickOn(Button("Command1"));
    EXPECT_EQ(inst.engine->Users[0], MakeUserRecord({"ann", "pw1", "me", "mine", "D", "https://pages.example.net/people/ann.html", "5000"}));

    ClickOn(Radio("RadioButton1"));
    EXPECT_TRUE(Edit("Editfield4")->isEnabled());

    ClickOn(Button("Command2"));
    for (const char *name : {"Editfield5", "Editfield6", "Editfield1", "Editfield2", "Editfield3"})
        EXPECT_EQ(Edit(name)->text(), "") << name;
    EXPECT_EQ(Edit("Editfield4")->text(), "4444");
    EXPECT_TRUE(Radio("RadioButton1")->isChecked());
    EXPECT_FALSE(Radio("RadioButton2")->isChecked());
    // The next user's name can be typed at once.
    EXPECT_EQ(win->focusWidget(), Edit("Editfield5"));
}

TEST_F(UserWinTest, FieldsFollowTheCurrentRowAndDeleteRemovesOnlyTheUserShown)
{
    inst.engine->Users = {MakeUserRecord({"ann", "p1"}), MakeUserRecord({"bea", "p2"}), MakeUserRecord({"cid", "p3"})};
    Open();
    QTreeWidget *list = win->list();
    // Nothing current on opening: Delete does nothing and asks nothing.
    EXPECT_EQ(list->currentItem(), nullptr);
    ClickOn(Button("Command3"));
    EXPECT_EQ(win->RowCount(), 3);
    EXPECT_TRUE(inst.prompt.questions.isEmpty());

    // A click on the first row, then the arrow key: the fields show the row the key moved to.
    const QRect first = list->visualItemRect(list->topLevelItem(0));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, first.center());
    EXPECT_EQ(Edit("Editfield5")->text(), "ann");
    QTest::keyClick(list, Qt::Key_Down);
    EXPECT_EQ(Edit("Editfield5")->text(), "bea");
    EXPECT_EQ(Edit("Editfield6")->text(), "p2");

    // Delete asks, naming the user; "Cancel" keeps everything.
    inst.prompt.answer = false;
    ClickOn(Button("Command3"));
    EXPECT_EQ(inst.prompt.questions, QStringList({"Delete user bea?"}));
    EXPECT_EQ(win->RowCount(), 3);

    inst.prompt.answer = true;
    ClickOn(Button("Command3"));
    EXPECT_EQ(inst.prompt.questions.size(), 2);
    EXPECT_EQ(inst.engine->Users, UserList({MakeUserRecord({"ann", "p1"}), MakeUserRecord({"cid", "p3"})}));
    EXPECT_EQ(Stored(), inst.engine->Users);
    // Empty fields (the port too) and no row current, so a second Delete removes nobody unseen.
    for (const char *name : {"Editfield5", "Editfield6", "Editfield1", "Editfield2", "Editfield3", "Editfield4"})
        EXPECT_EQ(Edit(name)->text(), "") << name;
    EXPECT_EQ(list->currentItem(), nullptr);
    EXPECT_TRUE(list->selectedItems().isEmpty());
    ClickOn(Button("Command3"));
    EXPECT_EQ(win->RowCount(), 2);
    EXPECT_EQ(inst.prompt.questions.size(), 2);

    // Add/Update makes the row it wrote current, a new one and an updated one alike.
    Fill("dan", "p4");
    ClickOn(Button("Command1"));
    ASSERT_EQ(list->currentItem(), list->topLevelItem(2));
    Fill("ann", "new");
    ClickOn(Button("Command1"));
    ASSERT_EQ(list->currentItem(), list->topLevelItem(0));
    EXPECT_TRUE(list->topLevelItem(0)->isSelected());
    ClickOn(Button("Command3"));
    EXPECT_EQ(inst.prompt.questions.last(), "Delete user ann?");
    EXPECT_EQ(inst.engine->Users, UserList({MakeUserRecord({"cid", "p3"}), MakeUserRecord({"dan", "p4", "them", "theirs", "S", "10.0.0.9", "5000"})}));
}

TEST_F(UserWinTest, AHugeNameWithTabsAndLineFeedsIsStoredWholeAndAskedAboutOnOneShortLine)
{
    Open();
    const QString name = "a\tb\nc" + QString(10000, u'x') + "end";
    Fill(name, "pw");
    ClickOn(Button("Command1"));
    ASSERT_TRUE(inst.prompt.messages.isEmpty());
    EXPECT_EQ(FieldOf(Stored().value(0), UserName), name.toLocal8Bit());
    ClickOn(Button("Command3"));
    ASSERT_EQ(inst.prompt.questions.size(), 1);
    const QString question = inst.prompt.questions[0];
    EXPECT_TRUE(question.startsWith("Delete user a")) << question.toStdString();
    for (const QChar c : question)
        EXPECT_GE(c.unicode(), 0x20) << question.toStdString();
    EXPECT_TRUE(question.endsWith("xend?")) << question.toStdString();
    EXPECT_LE(question.size(), 100);
    EXPECT_EQ(win->RowCount(), 0);
}

TEST_F(UserWinTest, DeletingTheLastUserRemovesTheFile)
{
    inst.engine->Users = {MakeUserRecord({"ann", "p"})};
    Open();
    win->list()->setCurrentItem(win->list()->topLevelItem(0));
    ClickOn(Button("Command3"));
    EXPECT_EQ(win->RowCount(), 0);
    EXPECT_TRUE(inst.engine->Users.isEmpty());
    EXPECT_FALSE(QFile::exists(inst.file("Parcelwise_Users")));
}

TEST_F(UserWinTest, ShowsAndForgetsAPinnedKeyAndDeletingAUserDeletesItsPin)
{
    const QByteArray fpAnn = QByteArray("0123456789ABCDEF").repeated(4), fpBob = QByteArray(64, 'B');
    inst.engine->Users = {MakeUserRecord({"ann", "p"}), MakeUserRecord({"bob", "q"}), MakeUserRecord({"cy", "r"})};
    inst.engine->Trust().Pin("ann", fpAnn);
    inst.engine->Trust().Pin("bob", fpBob);
    Open();
    auto *key = win->findChild<QLabel *>(QStringLiteral("PinnedKey"));
    ASSERT_NE(key, nullptr);
    QPushButton *forget = Button("ForgetKey");
    ASSERT_NE(forget, nullptr);
    EXPECT_FALSE(forget->isEnabled()); // no row yet

    win->list()->setCurrentItem(win->list()->topLevelItem(2));
    EXPECT_EQ(key->text(), "Key: none pinned yet");
    EXPECT_FALSE(forget->isEnabled());
    win->list()->setCurrentItem(win->list()->topLevelItem(0));
    EXPECT_EQ(key->text(), "Key: 0123 4567 89AB CDEF 0123 4567 89AB CDEF 0123 4567 89AB CDEF 0123 4567 89AB CDEF");
    ASSERT_TRUE(forget->isEnabled());

    // Cancelled: the pin stays.
    inst.prompt.answer = false;
    ClickOn(forget);
    EXPECT_EQ(inst.engine->Trust().Pins().PinOf("ann"), fpAnn);
    inst.prompt.answer = true;
    ClickOn(forget);
    EXPECT_FALSE(inst.engine->Trust().Pins().PinOf("ann"));
    EXPECT_EQ(key->text(), "Key: none pinned yet");
    EXPECT_FALSE(forget->isEnabled());
    EXPECT_TRUE(inst.engine->Log().ScreenText().contains("Forgot the key of ann"));
    EXPECT_FALSE(inst.dir.read("Parcelwise_Pins").contains("ann\t"));
    EXPECT_TRUE(inst.dir.read("Parcelwise_Pins").contains("bob\t" + fpBob));

    win->list()->setCurrentItem(win->list()->topLevelItem(1));
    ClickOn(Button("Command3"));
    EXPECT_FALSE(inst.engine->Trust().Pins().PinOf("bob"));
    EXPECT_FALSE(QFile::exists(inst.file("Parcelwise_Pins")));
}

TEST_F(UserWinTest, PasswordsAreMaskedUntilShown)
{
    Open();
    for (const char *name : {"Editfield6", "Editfield2"}) {
        QLineEdit *field = Edit(name);
        auto *show = win->findChild<QCheckBox *>(QString::fromLatin1(name) + "Show");
        ASSERT_TRUE(show) << name;
        EXPECT_EQ(field->echoMode(), QLineEdit::Password) << name;
        ClickOn(show);
        EXPECT_EQ(field->echoMode(), QLineEdit::Normal) << name;
        ClickOn(show);
        EXPECT_EQ(field->echoMode(), QLineEdit::Password) << name;
    }
    // Masking changes nothing of what is stored.
    Fill("bob", "s3cret", "them", "th3irs");
    ClickOn(Button("Command1"));
    EXPECT_EQ(inst.engine->Users, UserList({MakeUserRecord({"bob", "s3cret", "them", "th3irs", "S", "10.0.0.9", "5000"})}));
}

TEST_F(UserWinTest, FitsASmallScreenWithEveryButtonInView)
{
    inst.engine->Users = {MakeUserRecord({"ann", "p"}), MakeUserRecord({"bea", "p"})};
    Open();
    // 800x500 less a title bar: the list gives way, so that every field and button is in view
    // without scrolling.
    const QRect screen(0, 0, 800, 470);
    FitOnScreen(win.get(), screen);
    QApplication::processEvents();
    EXPECT_TRUE(screen.contains(win->geometry())) << win->width() << "x" << win->height();
    const QWidget *view = win->findChild<QScrollArea *>()->viewport();
    const QRect seen(view->mapTo(win.get(), QPoint(0, 0)), view->size());
    for (const char *name : {"Command1", "Command2", "Command3", "Command4"}) {
        QPushButton *button = Button(name);
        const QRect at(button->mapTo(win.get(), QPoint(0, 0)), button->size());
        EXPECT_TRUE(button->isVisible() && win->rect().contains(at)) << name;
    }
    for (const char *name : {"Editfield1", "Editfield2", "Editfield3", "Editfield4", "Editfield5", "Editfield6", "ForgetKey"}) {
        const QWidget *field = win->findChild<QWidget *>(QLatin1String(name));
        ASSERT_TRUE(field) << name;
        const QRect at(field->mapTo(win.get(), QPoint(0, 0)), field->size());
        EXPECT_TRUE(seen.contains(at)) << name << " at " << at.y() << ".." << at.bottom() << ", in view "
                                       << seen.y() << ".." << seen.bottom();
    }
    SaveScreenshot(win.get(), "user_win_800x500");
}

TEST(DialogFit, KeepsWindowsWithinTheAvailableArea)
{
    const QRect area(0, 30, 800, 470);
    struct Case {
        QRect wanted;
        QSize minimum;
        QMargins frame;
        QRect expected;
    };
    const Case cases[] = {
        {{100, 100, 400, 300}, {}, {}, {100, 100, 400, 300}},           // fits: untouched
        {{20, 40, 760, 520}, {}, {}, {20, 30, 760, 470}},                // too tall: shrunk and moved up
        {{600, 300, 400, 300}, {}, {}, {400, 200, 400, 300}},            // hangs over: moved in
        {{-50, 0, 1000, 600}, {}, {4, 30, 4, 4}, {4, 60, 792, 436}},     // the frame stays on screen too
        {{0, 30, 900, 600}, {850, 200}, {}, {0, 30, 850, 470}},          // never below the minimum
    };
    for (const Case &c : cases)
        EXPECT_EQ(FitWithin(c.wanted, c.minimum, area, c.frame), c.expected) << c.wanted.x() << "," << c.wanted.y();
}

TEST(DialogFit, CentresOverTheParentAndStaysOnScreen)
{
    const QRect area(0, 0, 1600, 1000);
    struct Case {
        QSize size;
        QRect parent;
        QRect expected;
    };
    const Case cases[] = {
        {{200, 100}, {400, 300, 600, 400}, {600, 450, 200, 100}},  // centred over the parent
        {{400, 300}, {1300, 800, 300, 200}, {1200, 700, 400, 300}}, // would leave the screen: moved in
        {{400, 300}, {-200, -100, 300, 200}, {0, 0, 400, 300}},     // parent partly off screen
    };
    for (const Case &c : cases)
        EXPECT_EQ(CentreOver(c.size, c.parent, {}, area), c.expected) << c.parent.x() << "," << c.parent.y();
}

TEST(DialogFit, ShownDialogOpensOverItsParent)
{
    DialogFitter fitter;
    qApp->installEventFilter(&fitter);
    QWidget parent;
    parent.setGeometry(300, 200, 600, 400);
    parent.show();
    QDialog dialog(&parent);
    dialog.resize(240, 120);
    dialog.show();
    QApplication::processEvents();
    const QRect within = parent.frameGeometry();
    EXPECT_TRUE(within.contains(dialog.frameGeometry())) << dialog.x() << "," << dialog.y();
    EXPECT_LE((dialog.frameGeometry().center() - within.center()).manhattanLength(), 2);
    dialog.hide();

    // A message box settles its size as it is shown (its text wrapped, its title kept whole): it
    // is centred with the size it settled on.
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Parcelwise (a folder with a long name)"),
                    QStringLiteral("dave is stored without an IP address: files can come from this user, but none "
                                   "can be sent to it until one is entered."),
                    QMessageBox::Ok, &parent);
    box.show();
    QApplication::processEvents();
    EXPECT_TRUE(within.contains(box.frameGeometry())) << box.x() << "," << box.y();
    EXPECT_LE((box.frameGeometry().center() - within.center()).manhattanLength(), 2)
        << box.x() << "," << box.y() << " " << box.width() << "x" << box.height();
    // Its title has room beside the window manager's buttons.
    QFont bold = box.font();
    bold.setBold(true);
    EXPECT_GT(box.width(), QFontMetrics(bold).horizontalAdvance(box.windowTitle()) + 4 * QFontMetrics(bold).height());
    box.hide();
    qApp->removeEventFilter(&fitter);
}

TEST_F(UserWinTest, FailedSaveSaysSoAndKeepsTheNewList)
{
    // A folder where the file should be cannot be replaced by a file.
    QDir(inst.dir.path()).mkdir("Parcelwise_Users");
    Open();
    Fill("bob", "pw");
    ClickOn(Button("Command1"));
    EXPECT_EQ(inst.prompt.messages, QStringList({"Cannot Write User Data"}));
    EXPECT_EQ(inst.prompt.beeps, 1);
    EXPECT_EQ(win->RowCount(), 1);
    EXPECT_EQ(inst.engine->Users.size(), 1);
}

TEST_F(UserWinTest, LongAndNonAsciiEntriesSurviveTheRoundTrip)
{
    Open();
    const QString name = QString::fromUtf8("J\u00fcrgen_\u6771\u4eac_") + QString(3000, u'x');
    SaveScreenshot(win.get(), "user_win_empty");
    Fill(name, QString::fromUtf8("p\u00e4ss"), "them", "theirs", QString(4000, u'a'));
    ClickOn(Button("Command1"));
    ASSERT_TRUE(inst.prompt.messages.isEmpty());
    EXPECT_EQ(FieldOf(inst.engine->Users[0], UserName), name.toLocal8Bit());
    EXPECT_EQ(FieldOf(Stored().value(0), UserPassword), QString::fromUtf8("p\u00e4ss").toLocal8Bit());
    EXPECT_LE(win->width(), 2000);
    SaveScreenshot(win.get(), "user_win_long");
}

} // namespace

TEST_F(UserWinTest, AnUnchangedRowKeepsItsBytesWhateverTheirEncoding)
{
    // Bytes from another code page, and a text longer than an edit field holds by default.
    const QByteArray address(40000, 'a');
    inst.engine->Users = {MakeUserRecord({"caf\xE9", "p\xE9", "s\xE8nd", "x\xFF", "S", address, "5000"})};
    const UserRecord before = inst.engine->Users[0];
    Open();
    emit win->list()->itemClicked(win->list()->topLevelItem(0), 1);
    ClickOn(Button("Command1"));
    ASSERT_TRUE(inst.prompt.messages.isEmpty());
    ASSERT_EQ(inst.engine->Users.size(), 1);
    EXPECT_EQ(inst.engine->Users[0], before);
}

TEST_F(UserWinTest, AnAddressTypeOtherThanSOrDChangesOnlyWhenAPersonPicksOne)
{
    // The send path calls a user with such bytes at a static address, the window shows "Dynamic":
    // storing another field must not turn the user into a dynamic one.
    struct Case {
        QByteArray stored;
        const char *picked; // the radio button clicked before storing, or none
        QByteArray written;
    };
    const Case cases[] = {
        {"X", nullptr, "X"}, {"s", nullptr, "s"}, {"", nullptr, ""}, {"X", "RadioButton1", "S"}, {"X", "RadioButton2", "D"},
    };
    for (const Case &c : cases) {
        inst.engine->Users = {MakeUserRecord({"ann", "pw", "me", "mine", c.stored, "10.0.0.1", "5000"}),
                              MakeUserRecord({"bea", "p2", "", "", "S", "10.0.0.2", "4444"})};
        Open();
        emit win->list()->itemClicked(win->list()->topLevelItem(0), 1);
        TypeInto(Edit("Editfield6"), "new");
        if (c.picked)
            ClickOn(Radio(c.picked));
        ClickOn(Button("Command1"));
        ASSERT_EQ(inst.engine->Users.size(), 2) << c.stored.toStdString();
        EXPECT_EQ(FieldOf(inst.engine->Users[0], UserPassword), "new");
        EXPECT_EQ(FieldOf(inst.engine->Users[0], UserAddressType), c.written) << c.stored.toStdString();
        // Another row shown, or the fields cleared, forget the first row's bytes.
        emit win->list()->itemClicked(win->list()->topLevelItem(1), 1);
        TypeInto(Edit("Editfield6"), "p3");
        ClickOn(Button("Command1"));
        EXPECT_EQ(FieldOf(inst.engine->Users[1], UserAddressType), "S");
        ClickOn(Button("Command2"));
        Fill("cid", "p4");
        ClickOn(Button("Command1"));
        EXPECT_EQ(FieldOf(inst.engine->Users.value(2), UserAddressType), "S");
        win.reset();
    }
}

TEST_F(UserWinTest, TakingAnotherUsersNameAsksBeforeReplacingIt)
{
    inst.engine->Users = {MakeUserRecord({"ann", "p1", "", "", "S", "10.0.0.1", "4444"}),
                          MakeUserRecord({"bea", "p2", "", "", "S", "10.0.0.2", "4444"})};
    Open();
    // Shown row "ann", its name changed to "bea": the other user is replaced only on "Replace".
    win->list()->setCurrentItem(win->list()->topLevelItem(0));
    TypeInto(Edit("Editfield5"), "bea");
    inst.prompt.answer = false;
    ClickOn(Button("Command1"));
    EXPECT_EQ(inst.prompt.questions, QStringList({"Replace user bea?"}));
    EXPECT_EQ(FieldOf(inst.engine->Users[1], UserPassword), "p2");
    inst.prompt.answer = true;
    ClickOn(Button("Command1"));
    EXPECT_EQ(inst.prompt.questions.size(), 2);
    EXPECT_EQ(FieldOf(inst.engine->Users[1], UserPassword), "p1");
    // Updating the user shown asks nothing.
    TypeInto(Edit("Editfield6"), "p3");
    ClickOn(Button("Command1"));
    EXPECT_EQ(inst.prompt.questions.size(), 2);
    EXPECT_EQ(FieldOf(inst.engine->Users[1], UserPassword), "p3");

    // Clear leaves no row current, so Delete offers nobody and a known name asks again.
    ClickOn(Button("Command2"));
    EXPECT_EQ(win->list()->currentItem(), nullptr);
    EXPECT_TRUE(win->list()->selectedItems().isEmpty());
    ClickOn(Button("Command3"));
    EXPECT_EQ(inst.prompt.questions.size(), 2);
    Fill("ann", "p4");
    ClickOn(Button("Command1"));
    EXPECT_EQ(inst.prompt.questions.last(), "Replace user ann?");
}

TEST_F(UserWinTest, ReturnStoresAndAUserWithoutAnAddressIsStoredWithAWarning)
{
    Open();
    EXPECT_TRUE(Button("Command1")->isDefault());
    Fill("ann", "pw", "", "", "", "");
    QTest::keyClick(Edit("Editfield3"), Qt::Key_Return);
    ASSERT_EQ(inst.engine->Users.size(), 1);
    ASSERT_EQ(inst.prompt.messages.size(), 1);
    EXPECT_TRUE(inst.prompt.messages[0].startsWith("ann is stored without an IP address")) << inst.prompt.messages[0].toStdString();
    EXPECT_TRUE(win->isVisible());
    // A dynamic user needs the page's URL instead.
    Fill("bea", "pw", "", "", "", "");
    ClickOn(Radio("RadioButton2"));
    ClickOn(Button("Command1"));
    ASSERT_EQ(inst.prompt.messages.size(), 2);
    EXPECT_TRUE(inst.prompt.messages[1].startsWith("bea is stored without an address page URL"));
    Fill("cid", "pw");
    ClickOn(Button("Command1"));
    EXPECT_EQ(inst.prompt.messages.size(), 2);
    EXPECT_EQ(inst.engine->Users.size(), 3);
}
