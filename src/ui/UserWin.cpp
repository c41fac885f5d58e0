// The users window.
#include "ui/UserWin.h"

#include "core/Limits.h"
#include "core/TextUtil.h"
#include "core/UserPrompt.h"
#include "core/Users.h"
#include "transfer/Engine.h"
#include "ui/DisplayText.h"
#include "ui/Widgets.h"

#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace {

constexpr int FieldsPerRow = 9; // what a stored record holds
constexpr int FieldsRead = 10;  // how far a row is filled from a record
constexpr int FieldsRole = Qt::UserRole + 1;

// Visible list columns (the row field shown in each) and their captions; passwords stay hidden.
constexpr std::pair<int, const char *> Columns[] = {{UserName, "User Name"},
                                                    {UserSendName, "Sending Name"},
                                                    {UserAddressType, "Type"},
                                                    {UserAddress, "IP Address/URL"},
                                                    {UserPort, "Port"}};

bool HasControlCode(const QByteArray &text)
{
    return text.contains('\x01') || text.contains('\x02') || text.contains('\r');
}

// Digits only, and a port.
bool IsPortNumber(const QByteArray &text)
{
    if (text.isEmpty() || text.size() > 5)
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    return IsValidPort(text.toInt());
}

QByteArray Bytes(const QLineEdit *edit)
{
    return FieldBytes(edit);
}

QLabel *Note(const char *text)
{
    auto *label = new QLabel(QString::fromLatin1(text));
    label->setWordWrap(true);
    return label;
}

} // namespace

UserWin::UserWin(Engine &engine, QWidget *parent) : QDialog(parent), engine_(engine)
{
    setWindowTitle(QStringLiteral("Parcelwise User Functions"));
    setObjectName(QStringLiteral("UserWin"));
    setModal(true);

    list_ = new QTreeWidget;
    list_->setObjectName(QStringLiteral("ListBox1"));
    list_->setColumnCount(FieldsRead + 1);
    SetUpRowList(list_, QAbstractItemView::SingleSelection);
    QStringList headers;
    for (int c = 0; c <= FieldsRead; ++c)
        headers << QString();
    for (const auto &[field, caption] : Columns)
        headers[field] = QString::fromLatin1(caption);
    list_->setHeaderLabels(headers);
    for (int c = 0; c <= FieldsRead; ++c)
        list_->setColumnHidden(c, true);
    for (const auto &[field, caption] : Columns)
        list_->setColumnHidden(field, false);
    // The address (a page's whole URL for a dynamic user) takes the width the other columns
    // leave; the type and the port are as wide as their longest text.
    QHeaderView *header = list_->header();
    header->setStretchLastSection(false);
    const int textMargin = 2 * (list_->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, list_) + 1) + 4;
    const auto wideEnoughFor = [&](int column, const QString &text) {
        list_->setColumnWidth(column, std::max(header->sectionSizeHint(column),
                                               list_->fontMetrics().horizontalAdvance(text) + textMargin));
    };
    list_->setColumnWidth(UserName, 130);
    list_->setColumnWidth(UserSendName, 130);
    wideEnoughFor(UserAddressType, QStringLiteral("Dynamic"));
    wideEnoughFor(UserPort, QStringLiteral("65535"));
    header->setSectionResizeMode(UserAddress, QHeaderView::Stretch);
    // The list takes the room the fields leave: on a small screen it gives way first (down to a
    // few rows), so the fields and the key below it stay in view without scrolling.
    list_->setMinimumHeight(80);
    list_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Ignored);
    connect(list_, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem *item) { RowClicked(item); });
    // The fields follow the current row however it moves, so Delete never removes a user other
    // than the one shown.
    connect(list_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem *current) {
        if (current)
            RowClicked(current);
    });

    // Receiving: the login this user assigned to the peer.
    auto *receiving = new QGroupBox(QStringLiteral("Receiving:"));
    receiving->setObjectName(QStringLiteral("Frame1"));
    auto *recvForm = new QFormLayout;
    name_ = NamedField("Editfield5");
    password_ = NamedField("Editfield6");
    recvForm->addRow(QStringLiteral("User Name:"), name_);
    recvForm->addRow(QStringLiteral("Password:"), PasswordRow(password_));
    auto *recvBox = new QVBoxLayout(receiving);
    recvBox->addWidget(Note("Enter here the login and password you have assigned to this user so that he "
                            "can send files to you."));
    recvBox->addLayout(recvForm);
    recvBox->addStretch(1);

    // Sending: the login the peer assigned, and where the peer is.
    auto *sending = new QGroupBox(QStringLiteral("Sending:"));
    sending->setObjectName(QStringLiteral("Frame2"));
    auto *sendForm = new QFormLayout;
    sendName_ = NamedField("Editfield1");
    sendPassword_ = NamedField("Editfield2");
    address_ = NamedField("Editfield3");
    port_ = NamedField("Editfield4");
    port_->setText(QString::number(DefaultListenPort));
    QHBoxLayout *types = AddressTypeRow(static_, dynamic_);
    static_->setChecked(true);
    sendForm->addRow(QStringLiteral("User Name:"), sendName_);
    sendForm->addRow(QStringLiteral("Password:"), PasswordRow(sendPassword_));
    sendForm->addRow(QStringLiteral("Address Type:"), types);
    sendForm->addRow(QStringLiteral("IP Address/URL:"), address_);
    sendForm->addRow(QStringLiteral("Port:"), port_);
    auto *sendBox = new QVBoxLayout(sending);
    sendBox->addWidget(Note("Enter here the login and password that this user has assigned to you at his "
                            "end so that you can send files to him."));
    sendBox->addLayout(sendForm);
    // A type the person picks is stored as its letter; until then the row's own bytes stay.
    connect(static_, &QRadioButton::clicked, this, [this] {
        port_->setEnabled(static_->isChecked());
        shownAddressType_.reset();
    });
    connect(dynamic_, &QRadioButton::clicked, this, [this] {
        port_->setEnabled(!dynamic_->isChecked());
        shownAddressType_.reset();
    });

    auto *frames = new QHBoxLayout;
    frames->addWidget(receiving, 1);
    frames->addWidget(sending, 1);

    // The key the user's installation showed in the first encrypted transfer, pinned since.
    pinnedKey_ = new QLabel;
    pinnedKey_->setObjectName(QStringLiteral("PinnedKey"));
    pinnedKey_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    pinnedKey_->setWordWrap(true);
    forgetKey_ = CommandButton("&Forget Key", "ForgetKey");
    connect(forgetKey_, &QPushButton::clicked, this, &UserWin::ForgetKey);
    auto *keyRow = new QHBoxLayout;
    keyRow->addWidget(pinnedKey_, 1);
    keyRow->addWidget(forgetKey_);

    QPushButton *add = CommandButton("&Add/Update", "Command1");
    QPushButton *clear = CommandButton("C&lear", "Command2");
    QPushButton *remove = CommandButton("&Delete", "Command3");
    QPushButton *close = CommandButton("&Close", "Command4");
    // Return in a field stores the user.
    add->setDefault(true);
    connect(add, &QPushButton::clicked, this, &UserWin::AddUpdate);
    connect(clear, &QPushButton::clicked, this, &UserWin::ClearFields);
    connect(remove, &QPushButton::clicked, this, &UserWin::DeleteUser);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(add);
    buttons->addWidget(clear);
    buttons->addWidget(remove);
    buttons->addStretch(1);
    buttons->addWidget(close);

    // The list and the fields scroll on a small screen; the buttons stay in view.
    auto *fields = new QWidget;
    auto *fieldsLayout = new QVBoxLayout(fields);
    fieldsLayout->setContentsMargins(0, 0, 0, 0);
    fieldsLayout->addWidget(list_, 1);
    fieldsLayout->addLayout(frames);
    fieldsLayout->addLayout(keyRow);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(ScrollingPanel(fields), 1);
    layout->addLayout(buttons);

    FillList();
    ShowPinnedKey();
    // The window opens on empty fields with no row current: typing starts a new user.
    name_->setFocus(Qt::OtherFocusReason);
    resize(760, 520);
}

void UserWin::SetRowFields(QTreeWidgetItem *item, const QList<QByteArray> &fields)
{
    QList<QByteArray> row = fields;
    while (row.size() < FieldsRead)
        row.append(QByteArray());
    item->setData(0, FieldsRole, QVariant::fromValue(row));
    for (int n = 1; n <= FieldsRead; ++n) {
        QString shown = DisplayText(row[n - 1]);
        shown.replace(u'\n', u' ');
        item->setText(n, shown);
    }
    item->setText(UserAddressType,
                  StaticOnlyIfS(row[UserAddressType - 1]) == AddressKind::Static ? QStringLiteral("Static") : QStringLiteral("Dynamic"));
}

QList<QByteArray> UserWin::RowFields(int row) const
{
    const QTreeWidgetItem *item = list_->topLevelItem(row);
    if (!item)
        return {};
    return item->data(0, FieldsRole).value<QList<QByteArray>>().mid(0, FieldsPerRow);
}

int UserWin::RowCount() const
{
    return list_->topLevelItemCount();
}

void UserWin::FillList()
{
    list_->clear();
    for (const UserRecord &record : engine_.Users) {
        if (record.isEmpty())
            continue;
        QList<QByteArray> fields;
        qsizetype from = 0;
        while (fields.size() < FieldsRead) {
            const qsizetype sep = record.indexOf(FieldSep, from);
            if (sep < 0)
                break;
            fields.append(TrimBlanks(record.mid(from, sep - from)));
            from = sep + 1;
        }
        auto *item = new QTreeWidgetItem(list_);
        SetRowFields(item, fields);
        list_->scrollToItem(item);
    }
}

void UserWin::StoreList()
{
    UserList users;
    for (int r = 0; r < RowCount(); ++r)
        users.append(MakeUserRecord(RowFields(r)));
    engine_.SaveUsers(users);
}

void UserWin::SelectStatic(bool isStatic)
{
    static_->setChecked(isStatic);
    dynamic_->setChecked(!isStatic);
    port_->setEnabled(isStatic);
}

void UserWin::RowClicked(QTreeWidgetItem *item)
{
    if (RowCount() == 0 || !item)
        return;
    const QList<QByteArray> f = RowFields(list_->indexOfTopLevelItem(item));
    SetFieldBytes(name_, f.value(UserName - 1));
    SetFieldBytes(password_, f.value(UserPassword - 1));
    SetFieldBytes(sendName_, f.value(UserSendName - 1));
    SetFieldBytes(sendPassword_, f.value(UserSendPassword - 1));
    SelectStatic(StaticOnlyIfS(f.value(UserAddressType - 1)) == AddressKind::Static);
    shownAddressType_ = f.value(UserAddressType - 1);
    SetFieldBytes(address_, f.value(UserAddress - 1));
    SetFieldBytes(port_, f.value(UserPort - 1));
    ShowPinnedKey();
}

void UserWin::ShowPinnedKey()
{
    QTreeWidgetItem *item = list_->currentItem();
    const PinStore &pins = engine_.Trust().Pins();
    std::optional<QByteArray> pinned;
    if (item && RowCount() > 0)
        pinned = pins.PinOf(RowFields(list_->indexOfTopLevelItem(item)).value(UserName - 1));
    if (pins.Unreadable())
        pinnedKey_->setText(QStringLiteral("Key: the pinned keys cannot be read (") +
                            QString::fromLatin1(PinsFileName) + QStringLiteral(")"));
    else if (pinned)
        pinnedKey_->setText(QStringLiteral("Key: ") + QString::fromLatin1(GroupedFingerprint(*pinned)));
    else if (item)
        pinnedKey_->setText(QStringLiteral("Key: none pinned yet"));
    else
        pinnedKey_->clear();
    forgetKey_->setEnabled(pinned.has_value());
}

void UserWin::ForgetKey()
{
    QTreeWidgetItem *item = list_->currentItem();
    if (RowCount() == 0 || !item)
        return;
    const QByteArray name = RowFields(list_->indexOfTopLevelItem(item)).value(UserName - 1);
    if (!engine_.Trust().Pins().PinOf(name))
        return;
    const QString question = QStringLiteral("Forget the key of %1? The next encrypted transfer with this user "
                                            "pins the key it shows.")
                                 .arg(OneLineText(DisplayText(name)));
    if (!engine_.Prompt().Ask(question, QStringLiteral("Forget Key"), QStringLiteral("Cancel"), false))
        return;
    if (engine_.Trust().Forget(name)) {
        engine_.Showit("Forgot the key of " + name);
    } else {
        engine_.Prompt().Beep();
        engine_.Prompt().Message(QStringLiteral("Cannot Write Pinned Keys"));
    }
    ShowPinnedKey();
}

void UserWin::ClearFields()
{
    // No row stays current, so that Delete cannot offer a user the fields no longer show.
    {
        const QSignalBlocker quiet(list_);
        list_->setCurrentItem(nullptr);
        list_->clearSelection();
    }
    name_->clear();
    password_->clear();
    sendName_->clear();
    sendPassword_->clear();
    address_->clear();
    SelectStatic(true);
    shownAddressType_.reset();
    port_->setText(QString::number(DefaultListenPort));
    // Ready for the next user's name.
    name_->setFocus(Qt::OtherFocusReason);
}

void UserWin::Refuse(const QString &message, QLineEdit *field)
{
    engine_.Prompt().Message(message);
    field->setFocus(Qt::OtherFocusReason);
}

void UserWin::AddUpdate()
{
    const QByteArray name = Bytes(name_);
    const QByteArray password = Bytes(password_);
    if (name.isEmpty()) {
        StoreList();
        return;
    }
    if (password.isEmpty())
        return Refuse(QStringLiteral("Please Enter a Password"), password_);
    if (HasControlCode(name))
        return Refuse(QStringLiteral("Invalid Name"), name_);
    if (HasControlCode(password))
        return Refuse(QStringLiteral("Invalid Password"), password_);
    // The other fields would break the record (or the request that carries the login) just the
    // same; each is named, so the person knows which one to correct.
    if (HasControlCode(Bytes(sendName_)))
        return Refuse(QStringLiteral("Invalid Sending Name"), sendName_);
    if (HasControlCode(Bytes(sendPassword_)))
        return Refuse(QStringLiteral("Invalid Sending Password"), sendPassword_);
    if (HasControlCode(Bytes(address_)))
        return Refuse(QStringLiteral("Invalid IP Address/URL"), address_);
    if (TrimBlanks(Bytes(port_)).isEmpty())
        port_->setText(QString::number(DefaultListenPort));
    // A static address is called on this port; a dynamic one takes its port from the page.
    if (static_->isChecked() && !IsPortNumber(TrimBlanks(Bytes(port_))))
        return Refuse(QStringLiteral("Please enter a port between 1 and 65535"), port_);

    QList<QByteArray> fields = {TrimBlanks(name),
                                TrimBlanks(password),
                                TrimBlanks(Bytes(sendName_)),
                                TrimBlanks(Bytes(sendPassword_)),
                                // Bytes other than "S" and "D" show as "Dynamic" here while the
                                // send path calls such a user at a static address: they change
                                // only when the person picks a type.
                                shownAddressType_.value_or(QByteArray(
                                    AddressKindLetter(static_->isChecked() ? AddressKind::Static : AddressKind::Dynamic))),
                                TrimBlanks(Bytes(address_)),
                                // Greyed out for a dynamic address, so beyond correcting; kept
                                // without the codes that would break the record.
                                TrimBlanks(RemoveAll(RemoveAll(RemoveAll(Bytes(port_), '\x01'), '\x02'), '\r'))};
    QTreeWidgetItem *item = nullptr;
    for (int r = 0; r < RowCount() && !item; ++r)
        if (RowFields(r).value(0) == fields[0])
            item = list_->topLevelItem(r);
    // The name of a user other than the one shown replaces that user only when the person says so.
    if (item && item != list_->currentItem()) {
        const QString question = QStringLiteral("Replace user %1?").arg(OneLineText(DisplayText(fields[0])));
        if (!engine_.Prompt().Ask(question, QStringLiteral("Replace"), QStringLiteral("Cancel"), false)) {
            name_->setFocus(Qt::OtherFocusReason);
            return;
        }
    }
    if (item) {
        // Fields past the seventh are kept as they were.
        const QList<QByteArray> old = item->data(0, FieldsRole).value<QList<QByteArray>>();
        fields += old.mid(fields.size());
    } else {
        item = new QTreeWidgetItem(list_);
    }
    SetRowFields(item, fields);
    list_->scrollToItem(item);
    StoreList();
    // A user without an address is kept (files can come from it), but nothing can go to it.
    if (fields[UserAddress - 1].isEmpty())
        engine_.Prompt().Message(
            QStringLiteral("%1 is stored without an %2: files can come from this user, but none can be sent to it "
                           "until one is entered.")
                .arg(OneLineText(DisplayText(fields[0])),
                     static_->isChecked() ? QStringLiteral("IP address") : QStringLiteral("address page URL")));
    // The row just written becomes the current one, and the fields show it as stored.
    list_->setCurrentItem(item);
    RowClicked(item);
}

void UserWin::DeleteUser()
{
    QTreeWidgetItem *item = list_->currentItem();
    if (RowCount() == 0 || !item)
        return;
    const QByteArray name = RowFields(list_->indexOfTopLevelItem(item)).value(UserName - 1);
    const QString question = QStringLiteral("Delete user %1?").arg(OneLineText(DisplayText(name)));
    if (!engine_.Prompt().Ask(question, QStringLiteral("Delete"), QStringLiteral("Cancel"), false))
        return;
    {
        // Removing the current row would make its neighbour current and fill the fields with
        // it; after a Delete no row is current.
        const QSignalBlocker quiet(list_);
        delete item;
        list_->setCurrentItem(nullptr);
        list_->clearSelection();
    }
    StoreList();
    // Unlike "Clear", the port does not get its default back.
    ClearFields();
    port_->clear();
    ShowPinnedKey();
}
