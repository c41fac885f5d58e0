// The queue loader window.
#include "ui/QLoadWin.h"

#include "core/FileOps.h"
#include "core/PathCheck.h"
#include "core/TextUtil.h"
#include "core/UserPrompt.h"
#include "transfer/Engine.h"
#include "ui/DisplayText.h"
#include "ui/Icons.h"
#include "ui/Viewers.h"
#include "ui/Widgets.h"

#include <QComboBox>
#include <QDragEnterEvent>
#include <QDir>
#include <QDropEvent>
#include <QFileInfo>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>
#include <utility>

const char *const QLoadWin::FileFilter = "All Files (*);;Text Files (*.txt)";

namespace {

// The folder files were last chosen from, for this run of the program only.
QString &LastFolder()
{
    static QString folder;
    return folder;
}

bool SameFolder(const QString &a, const QString &b)
{
    const QString ca = QDir(a).canonicalPath();
    return !ca.isEmpty() && ca == QDir(b).canonicalPath();
}

constexpr int ImageRole = Qt::UserRole + 1;
constexpr int BytesRole = Qt::UserRole + 2;
enum Column { ImageColumn, UserColumn, NameColumn, PathColumn };

QStringList LocalFiles(const QMimeData *data)
{
    QStringList paths;
    if (!data || !data->hasUrls())
        return paths;
    for (const QUrl &url : data->urls())
        if (url.isLocalFile() && !url.toLocalFile().isEmpty())
            paths << url.toLocalFile();
    return paths;
}

// Takes the drag or drop as a copy when it carries local files, and refuses it otherwise.
QStringList TakeLocalFiles(QDropEvent *event)
{
    const QStringList paths = LocalFiles(event->mimeData());
    if (paths.isEmpty()) {
        event->ignore();
        return paths;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
    return paths;
}

} // namespace

PendingFileList::PendingFileList(QWidget *parent) : QTreeWidget(parent)
{
    setAcceptDrops(true);
    viewport()->setAcceptDrops(true);
    setDragDropMode(QAbstractItemView::DropOnly);
}

void PendingFileList::dragEnterEvent(QDragEnterEvent *event)
{
    TakeLocalFiles(event);
}

void PendingFileList::dragMoveEvent(QDragMoveEvent *event)
{
    TakeLocalFiles(event);
}

void PendingFileList::dropEvent(QDropEvent *event)
{
    const QStringList paths = TakeLocalFiles(event);
    if (!paths.isEmpty())
        emit filesDropped(paths);
}

QLoadWin::QLoadWin(Engine &engine, QWidget *parent) : QDialog(parent), engine_(engine)
{
    setWindowTitle(QStringLiteral("Parcelwise File Queue Loader"));
    setObjectName(QStringLiteral("QLoadWin"));
    setModal(true);

    sendTo_ = new QComboBox;
    sendTo_->setObjectName(QStringLiteral("PopUpMenu1"));
    sendTo_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    sendTo_->setMinimumContentsLength(24);
    message_ = new QPlainTextEdit;
    message_->setObjectName(QStringLiteral("Editfield1"));
    message_->setTabChangesFocus(true);
    message_->setFixedHeight(message_->fontMetrics().lineSpacing() * 3 + 2 * message_->frameWidth() + 8);

    files_ = new PendingFileList;
    files_->setObjectName(QStringLiteral("ListBox1"));
    files_->setColumnCount(4);
    files_->setHeaderLabels({QString(), QStringLiteral("Send To"), QStringLiteral("File"), QString()});
    SetUpRowList(files_, QAbstractItemView::ExtendedSelection);
    files_->header()->setStretchLastSection(false);
    const qreal dpi = logicalDpiX();
    files_->setColumnWidth(ImageColumn, TwipsToPixels(617, dpi));
    files_->setColumnWidth(UserColumn, TwipsToPixels(2646, dpi));
    files_->setColumnWidth(NameColumn, TwipsToPixels(7937, dpi));
    files_->setColumnHidden(PathColumn, true);
    files_->setToolTip(QStringLiteral("Drop files here to add them"));
    connect(files_, &PendingFileList::filesDropped, this, &QLoadWin::AddFiles);

    QPushButton *select = CommandButton("&Select File", "Command2");
    QPushButton *remove = CommandButton("&Delete", "Command3");
    QPushButton *load = CommandButton("&Load", "Command1");
    QPushButton *cancel = CommandButton("&Cancel", "Command4");
    // Return (outside the message, where it starts a new line) loads the files.
    load->setDefault(true);
    connect(select, &QPushButton::clicked, this, &QLoadWin::SelectFile);
    connect(remove, &QPushButton::clicked, this, &QLoadWin::DeleteSelected);
    connect(load, &QPushButton::clicked, this, &QLoadWin::Load);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    auto *grid = new QGridLayout;
    auto *sendToLabel = new QLabel(QStringLiteral("Send To:"));
    sendToLabel->setObjectName(QStringLiteral("Label1"));
    auto *messageLabel = new QLabel(QStringLiteral("Message:"));
    messageLabel->setObjectName(QStringLiteral("Label2"));
    messageLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    auto *filesLabel = new QLabel(QStringLiteral("Files:"));
    filesLabel->setObjectName(QStringLiteral("Label3"));
    filesLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    grid->addWidget(sendToLabel, 0, 0);
    grid->addWidget(sendTo_, 0, 1, Qt::AlignLeft);
    grid->addWidget(messageLabel, 1, 0);
    grid->addWidget(message_, 1, 1);
    grid->addWidget(filesLabel, 2, 0);
    grid->addWidget(files_, 2, 1);
    grid->setRowStretch(2, 1);
    grid->setColumnStretch(1, 1);

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(select);
    buttons->addWidget(remove);
    buttons->addStretch(1);
    buttons->addWidget(load);
    buttons->addWidget(cancel);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(grid, 1);
    layout->addLayout(buttons);

    for (const UserRecord &record : engine_.Users) {
        const qsizetype sep = record.indexOf(FieldSep);
        if (sep < 0)
            continue;
        const QByteArray name = TrimBlanks(record.left(sep));
        if (name.isEmpty())
            continue;
        sendTo_->addItem(DisplayText(name), name);
    }
    if (sendTo_->count() > 0)
        sendTo_->setCurrentIndex(0);

    resize(std::max(620, TwipsToPixels(617 + 2646 + 7937, dpi) + 120), 420);
}

void QLoadWin::AddPendingFile(const QByteArray &path)
{
    const QByteArray user =
        sendTo_->currentIndex() >= 0 ? TrimBlanks(sendTo_->currentData().toByteArray()) : QByteArray();
    if (user.isEmpty() || TrimBlanks(path).isEmpty())
        return;
    // A file that is missing or still empty is listed (it may be there before it is sent); what
    // can never be sent is refused as it enters.
    const PathCheck check = CheckQueuePath(path);
    if (check.finding != PathFinding::None && check.finding != PathFinding::Missing &&
        check.finding != PathFinding::Empty) {
        Refuse(QStringLiteral("Cannot queue ") + DisplayText(check.text));
        return;
    }
    const int image = check.finding == PathFinding::Missing ? FileMissing : FileFound;
    const QByteArray fileName = FileNameOf(path);
    auto *item = new QTreeWidgetItem(files_);
    item->setIcon(ImageColumn, LoaderRowIcon(image));
    item->setData(ImageColumn, ImageRole, image);
    item->setText(ImageColumn, QStringLiteral(" "));
    if (check.finding == PathFinding::Missing)
        item->setToolTip(ImageColumn, QStringLiteral("no such file"));
    else if (check.finding == PathFinding::Empty)
        item->setToolTip(ImageColumn, QStringLiteral("empty: nothing to send yet"));
    item->setText(UserColumn, DisplayText(user));
    item->setData(UserColumn, BytesRole, user);
    item->setText(NameColumn, DisplayText(fileName));
    item->setData(NameColumn, BytesRole, fileName);
    item->setToolTip(NameColumn, DisplayText(path));
    item->setText(PathColumn, DisplayText(path));
    item->setData(PathColumn, BytesRole, path);
    files_->scrollToItem(item);
}

void QLoadWin::Refuse(const QString &text)
{
    if (isVisible())
        engine_.Prompt().Message(text);
    else
        heldRefusals_ << text;
}

void QLoadWin::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    // Refusals of files handed over before the window showed come over it, once it is there.
    if (!heldRefusals_.isEmpty())
        QTimer::singleShot(0, this, [this] {
            const QStringList refusals = std::exchange(heldRefusals_, {});
            for (const QString &text : refusals)
                engine_.Prompt().Message(text);
        });
}

void QLoadWin::AddFiles(const QStringList &paths)
{
    for (const QString &path : paths)
        AddPendingFile(path.toLocal8Bit());
}

QList<QLoadWin::PendingFile> QLoadWin::PendingFiles() const
{
    QList<PendingFile> rows;
    for (int r = 0; r < files_->topLevelItemCount(); ++r) {
        const QTreeWidgetItem *item = files_->topLevelItem(r);
        rows.append({item->data(ImageColumn, ImageRole).toInt(), item->data(UserColumn, BytesRole).toByteArray(),
                     item->data(NameColumn, BytesRole).toByteArray(), item->data(PathColumn, BytesRole).toByteArray()});
    }
    return rows;
}

QString QLoadWin::StartFolder() const
{
    // The program folder holds the stored files, which are nobody's to send.
    const QString program = engine_.Paths().ProgramFolder;
    const QStringList candidates = {LastFolder(), QDir::homePath(),
                                    QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation),
                                    QStandardPaths::writableLocation(QStandardPaths::DesktopLocation)};
    for (const QString &folder : candidates)
        if (!folder.isEmpty() && QDir(folder).exists() && !SameFolder(folder, program))
            return folder;
    // The home folder is the program folder and has no documents folder: the one above it.
    return QFileInfo(QDir(program).absolutePath()).absolutePath();
}

void QLoadWin::ForgetLastFolder()
{
    LastFolder().clear();
}

void QLoadWin::SelectFile()
{
    QFileDialog dialog(this, QStringLiteral("Select File"), StartFolder(), QString::fromLatin1(FileFilter));
    dialog.setObjectName(QStringLiteral("CommonDialog1"));
    dialog.setFileMode(QFileDialog::ExistingFiles);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    if (dialog.exec() != QDialog::Accepted)
        return;
    const QStringList paths = dialog.selectedFiles();
    if (paths.isEmpty())
        return;
    LastFolder() = QFileInfo(paths.first()).absolutePath();
    AddFiles(paths);
}

void QLoadWin::DeleteSelected()
{
    for (int r = files_->topLevelItemCount() - 1; r >= 0; --r) {
        QTreeWidgetItem *item = files_->topLevelItem(r);
        if (item->isSelected()) {
            item->setSelected(false);
            delete item;
        }
    }
}

void QLoadWin::Load()
{
    const QList<PendingFile> rows = PendingFiles();
    if (rows.isEmpty()) {
        accept();
        return;
    }
    const double now = engine_.ClockRef().nowSerial();
    // Line breaks travel as carriage returns; the receiver turns each into a full line end.
    QByteArray message = message_->toPlainText().toLocal8Bit();
    message.replace('\n', '\r');
    if (const QByteArray problem = QueueMessageProblem(message); !problem.isEmpty()) {
        // Another installation would refuse the request for good: nothing is queued.
        engine_.Prompt().Message(QStringLiteral("Cannot queue these files: ") + DisplayText(problem));
        message_->setFocus(Qt::OtherFocusReason);
        return;
    }
    std::vector<QueueItem> items;
    items.reserve(static_cast<size_t>(rows.size()));
    for (const PendingFile &row : rows)
        items.push_back(QueueModel::MakeNewItem(row.user, row.fileName, row.path, message, now));
    engine_.AddQueueItems(items);
    accept();
}
