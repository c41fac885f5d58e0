// The preferences window.
#include "ui/PrefWin.h"

#include "core/Preferences.h"
#include "core/TextUtil.h"
#include "core/UserPrompt.h"
#include "dynaddr/FtpRules.h"
#include "dynaddr/UrlMask.h"
#include "transfer/Engine.h"
#include "ui/Widgets.h"

#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QVBoxLayout>
#include <algorithm>

PrefWin::PrefWin(Engine &engine, QWidget *parent) : QDialog(parent), engine_(engine)
{
    setWindowTitle(QStringLiteral("Parcelwise Preferences"));
    setObjectName(QStringLiteral("PrefWin"));
    setModal(true);

    auto *general = new QGroupBox(QStringLiteral("General Options"));
    general->setObjectName(QStringLiteral("Frame1"));
    sendChannels_ = NamedField("Editfield1");
    receiveChannels_ = NamedField("Editfield2");
    port_ = NamedField("Editfield3");
    port_->setText(QString::number(DefaultListenPort));
    for (QLineEdit *e : {sendChannels_, receiveChannels_, port_})
        e->setMaximumWidth(120);
    QHBoxLayout *types = AddressTypeRow(static_, dynamic_);
    auto *generalForm = new QFormLayout(general);
    generalForm->addRow(QStringLiteral("Number of Send Channels [0-4]:"), sendChannels_);
    generalForm->addRow(QStringLiteral("Number of Receive Channels [1-4]:"), receiveChannels_);
    generalForm->addRow(QStringLiteral("Port:"), port_);
    generalForm->addRow(QStringLiteral("Address Type:"), types);
    portMapping_ = new QComboBox;
    portMapping_->setObjectName(QStringLiteral("PortMapping"));
    portMapping_->addItems({QStringLiteral("Automatic"), QStringLiteral("Off")});
    portMapping_->setToolTip(QStringLiteral("Automatic: behind a home router, the port is opened on the router "
                                            "(NAT-PMP or UPnP) and the address page names the address the "
                                            "world sees"));
    generalForm->addRow(QStringLiteral("Router Port Mapping:"), portMapping_);
    encryption_ = new QComboBox;
    encryption_->setObjectName(QStringLiteral("Encryption"));
    encryption_->addItems({QStringLiteral("Off"), QStringLiteral("Prefer"), QStringLiteral("Require")});
    encryption_->setToolTip(QStringLiteral("Prefer: transfers are encrypted whenever the other side can, and "
                                           "plain with older installations. Require: nothing is sent or "
                                           "taken in the clear. Off: never encrypted."));
    generalForm->addRow(QStringLiteral("Encryption:"), encryption_);
    auto *when = new QLabel(QStringLiteral("Channel counts apply at the next start. A new port is listened on "
                                           "as soon as you save."));
    when->setObjectName(QStringLiteral("TakesEffectNote"));
    when->setWordWrap(true);
    generalForm->addRow(when);

    auto *posting = new QGroupBox(QStringLiteral("IP Posting"));
    posting->setObjectName(QStringLiteral("Frame2"));
    auto *note = new QLabel(
        QStringLiteral("Use this section if you have a dynamic IP and want your IP posted via FTP to a web page."));
    note->setWordWrap(true);
    ftpUrl_ = NamedField("Editfield4");
    ftpUrl_->setText(QStringLiteral("ftp://"));
    ftpLogin_ = NamedField("Editfield5");
    ftpPassword_ = NamedField("Editfield6");
    auto *postingForm = new QFormLayout;
    postingForm->addRow(QStringLiteral("FTP URL:"), ftpUrl_);
    postingForm->addRow(QStringLiteral("FTP Login:"), ftpLogin_);
    postingForm->addRow(QStringLiteral("FTP Password:"), PasswordRow(ftpPassword_));
    auto *postingBox = new QVBoxLayout(posting);
    postingBox->addWidget(note);
    postingBox->addLayout(postingForm);

    auto *save = new QPushButton(QStringLiteral("&Save"));
    save->setObjectName(QStringLiteral("PushButton1"));
    save->setDefault(true);
    QPushButton *cancel = CommandButton("&Cancel", "PushButton2");
    connect(save, &QPushButton::clicked, this, &PrefWin::Save);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(save);
    buttons->addWidget(cancel);

    // The frames scroll on a small screen; the buttons stay in view.
    auto *fields = new QWidget;
    auto *fieldsLayout = new QVBoxLayout(fields);
    fieldsLayout->setContentsMargins(0, 0, 0, 0);
    fieldsLayout->addWidget(general);
    fieldsLayout->addWidget(posting);
    fieldsLayout->addStretch(1);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(ScrollingPanel(fields), 1);
    layout->addLayout(buttons);

    const Preferences &prefs = engine_.Prefs;
    const bool isStatic = prefs.AddressType == AddressKind::Static;
    static_->setChecked(isStatic);
    dynamic_->setChecked(!isStatic);
    portMapping_->setCurrentIndex(prefs.PortMapping ? 0 : 1);
    encryption_->setCurrentIndex(static_cast<int>(prefs.Encryption));
    EnableFtpFields();
    sendChannels_->setText(QString::number(prefs.SendChannels));
    receiveChannels_->setText(QString::number(prefs.ReceiveChannels));
    port_->setText(QString::number(prefs.ListenPort));
    // A password inside the URL shows masked; Save puts it back unless it was retyped.
    SetFieldBytes(ftpUrl_, MaskUrlPassword(prefs.FtpUrl));
    SetFieldBytes(ftpLogin_, prefs.FtpLogin);
    SetFieldBytes(ftpPassword_, prefs.FtpPassword);
    connect(static_, &QRadioButton::clicked, this, &PrefWin::AddressTypePicked);
    connect(dynamic_, &QRadioButton::clicked, this, &PrefWin::AddressTypePicked);
    connect(portMapping_, &QComboBox::activated, this, [this] { mappingChosen_ = true; });

    // Tall enough for the frames whole at this width, with their notes wrapped.
    ensurePolished();
    constexpr int Width = 520;
    const QMargins m = layout->contentsMargins();
    const int inner = Width - m.left() - m.right();
    const int fieldsHeight = fields->hasHeightForWidth() ? fields->heightForWidth(inner) : fields->sizeHint().height();
    resize(Width, fieldsHeight + layout->spacing() + buttons->sizeHint().height() + m.top() + m.bottom());
}

void PrefWin::AddressTypePicked()
{
    EnableFtpFields();
    if (mappingChosen_)
        return;
    // A static installation turning dynamic gets the mapping a dynamic one has by default
    // (the stored "Off" was only the static default); back to static, the stored choice again.
    const bool turnedDynamic = dynamic_->isChecked() && engine_.Prefs.AddressType == AddressKind::Static;
    portMapping_->setCurrentIndex(turnedDynamic || engine_.Prefs.PortMapping ? 0 : 1);
}

void PrefWin::EnableFtpFields()
{
    const bool dynamic = !static_->isChecked();
    for (QLineEdit *e : {ftpUrl_, ftpLogin_, ftpPassword_})
        e->setEnabled(dynamic);
}

void PrefWin::Refuse(const QString &message, QLineEdit *field)
{
    engine_.Prompt().Message(message);
    field->setFocus(Qt::OtherFocusReason);
}

void PrefWin::Save()
{
    const double send = LeadingNumber(sendChannels_->text().toLocal8Bit());
    const double receive = LeadingNumber(receiveChannels_->text().toLocal8Bit());
    const double port = LeadingNumber(port_->text().toLocal8Bit());
    if (!(send >= 0 && send <= ChannelCount))
        return Refuse(QStringLiteral("Please enter a value between 0 and 4"), sendChannels_);
    if (!(receive >= 1 && receive <= ChannelCount))
        return Refuse(QStringLiteral("Please enter a value between 1 and 4"), receiveChannels_);
    // One message for both ends of the range (1024 itself is accepted); a port is 16 bits wide.
    if (!IsListenPort(port))
        return Refuse(QStringLiteral("Please enter a value between 1024 and 65535"), port_);
    // A line end pasted into a field would start a new line of the preferences file.
    const auto lineBytes = [](const QLineEdit *edit) { return RemoveAll(RemoveAll(FieldBytes(edit), '\r'), '\n'); };
    const QByteArray url = RestoreUrlPassword(lineBytes(ftpUrl_), engine_.Prefs.FtpUrl);
    const QByteArray login = lineBytes(ftpLogin_);
    const QByteArray password = lineBytes(ftpPassword_);
    if (dynamic_->isChecked()) {
        // "ftp://" or "ftpes://" (FTP over TLS), with more than the scheme.
        if (url.size() == FtpSchemeLength(url) || TrimBlanks(url).isEmpty())
            return Refuse(QStringLiteral("Please enter a valid URL"), ftpUrl_);
        if (FtpSchemeLength(url) == 0)
            return Refuse(QStringLiteral("Please enter a full 'ftp://' URL"), ftpUrl_);
        if (TrimBlanks(login).isEmpty())
            return Refuse(QStringLiteral("Please enter a valid Login"), ftpLogin_);
        if (TrimBlanks(password).isEmpty())
            return Refuse(QStringLiteral("Please enter a valid Password"), ftpPassword_);
    }
    Preferences prefs = engine_.Prefs;
    prefs.SendChannels = static_cast<int>(RoundHalfEven(send));
    prefs.ReceiveChannels = static_cast<int>(RoundHalfEven(receive));
    prefs.ListenPort = static_cast<int>(RoundHalfEven(port));
    prefs.AddressType = static_->isChecked() ? AddressKind::Static : AddressKind::Dynamic;
    prefs.PortMapping = portMapping_->currentIndex() == 0;
    prefs.Encryption = static_cast<EncryptionSetting>(std::clamp(encryption_->currentIndex(), 0, 2));
    prefs.FtpUrl = url;
    prefs.FtpLogin = login;
    prefs.FtpPassword = password;
    const bool portChanged = prefs.ListenPort != engine_.Prefs.ListenPort;
    engine_.SavePrefs(prefs);
    // The channel counts wait for the next start; a new port is listened on at once.
    if (portChanged)
        engine_.ApplyListenPort();
    accept();
}
