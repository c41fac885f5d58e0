// The queue's view model, the queue list and its column fitting, and dropped files.
#include "ui/QueueView.h"

#include "transfer/Engine.h"
#include "transfer/OutcomeWords.h"
#include "transfer/QueueColumns.h"
#include "ui/DisplayText.h"
#include "ui/Icons.h"
#include "ui/Viewers.h"
#include "ui/Widgets.h"

#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLocale>
#include <QMimeData>
#include <QPainter>
#include <QUrl>

#include <algorithm>

namespace {
// A row's tool tip: paths and messages cut at this many characters, lines wrapped at this many.
constexpr int TipTextLimit = 500;
constexpr int TipLineLength = 80;
} // namespace

QueueViewModel::QueueViewModel(const Engine &engine, QObject *parent) : QIdentityProxyModel(parent), engine_(engine) {}

QVariant QueueViewModel::data(const QModelIndex &index, int role) const
{
    if (role == Qt::DisplayRole && index.column() == QueueItem::StatusText) {
        const QueueModel &queue = engine_.Queue();
        const int row = index.row();
        const int channel = engine_.SenderOfRow(queue.RowId(row));
        if (channel >= 0 && engine_.Senders()[static_cast<size_t>(channel)].Letter == SendLetter::Busy)
            return DisplayText(queue.field(row, QueueItem::StatusText)) +
                   QStringLiteral(" %1%").arg(engine_.Senders()[static_cast<size_t>(channel)].PercentDone);
    }
    if (role == Qt::DecorationRole && index.column() == 0)
        return QueueRowIcon(QIdentityProxyModel::data(index, QueueModel::ImageRole).toInt());
    if (role == Qt::ToolTipRole)
        return RowToolTip(engine_.Queue().item(index.row()));
    if (role == Qt::DisplayRole && index.column() >= 1 && index.column() <= QueueItem::FieldCount)
        return DisplayText(QIdentityProxyModel::data(index, QueueModel::FieldRole).toByteArray());
    return QIdentityProxyModel::data(index, role);
}

QVariant QueueViewModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::ToolTipRole)
        if (const QueueColumn *column = ShownQueueColumn(section))
            return QString::fromLatin1(column->caption);
    return QIdentityProxyModel::headerData(section, orientation, role);
}

QString QueueViewModel::RowToolTip(const QueueItem &item) const
{
    const QFileInfo info(QString::fromLocal8Bit(item.filePath()));
    QStringList lines{CutText(DisplayText(item.filePath()), TipTextLimit)};
    lines << (info.exists() ? QStringLiteral("%1 bytes").arg(QLocale().toString(info.size()))
                            : QStringLiteral("(file not found)"));
    const QByteArray words = RowStatusWords(item, engine_.LastAttempt(item.userName(), item.filePath()),
                                            engine_.ClockRef().nowSerial());
    if (!words.isEmpty())
        lines << DisplayText(item.statusText()) + QStringLiteral(": ") + DisplayText(words);
    if (!item.message().isEmpty())
        lines << QStringLiteral("Message: ") + CutText(DisplayText(item.message()), TipTextLimit);
    return WrapLines(lines.join(u'\n'), TipLineLength);
}

void QueueViewModel::RefreshBusyRows()
{
    for (int row : engine_.Queue().BusyRows())
        emit dataChanged(index(row, QueueItem::StatusText), index(row, QueueItem::StatusText));
}

QueueListView::QueueListView(Engine &engine, QWidget *parent)
    : QTreeView(parent), engine_(engine), model_(new QueueViewModel(engine, this))
{
    setObjectName(QStringLiteral("ListBox1"));
    model_->setSourceModel(&engine.Queue());
    setModel(model_);
    // Rows added at the bottom are scrolled into view.
    connect(model_, &QAbstractItemModel::rowsInserted, this,
            [this](const QModelIndex &, int, int last) { scrollTo(model_->index(last, 0)); });
    SetUpRowList(this, QAbstractItemView::ExtendedSelection);
    setItemsExpandable(false);
    setTextElideMode(Qt::ElideRight);
    header()->setStretchLastSection(false);
    header()->setSectionsMovable(false);
    header()->setSectionResizeMode(QHeaderView::Fixed);
    // The columns are fitted to the list's width on every resize.
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setContextMenuPolicy(Qt::CustomContextMenu);
    setMinimumHeight(PxY(900));
    for (int c = 0; c < QueueModel::ColumnCount; ++c)
        setColumnHidden(c, ShownQueueColumn(c) == nullptr);
    for (const QueueColumn &column : QueueColumns)
        setColumnWidth(column.column, PxX(column.twips));
    viewport()->setAcceptDrops(true);
    setAcceptDrops(true);
    setDropIndicatorShown(false);
}

int QueueListView::PxX(int twips) const
{
    return TwipsToPixels(twips, logicalDpiX());
}

int QueueListView::PxY(int twips) const
{
    return TwipsToPixels(twips, logicalDpiY());
}

QString QueueListView::EmptyHint() const
{
    return engine_.Users.isEmpty()
               ? QStringLiteral("Add a user (Edit > Users), then add files (Queue > Load Files) or drop them here")
               : QStringLiteral("Add files (Queue > Load Files) or drop them here");
}

void QueueListView::paintEvent(QPaintEvent *event)
{
    QTreeView::paintEvent(event);
    if (model() && model()->rowCount() > 0)
        return;
    QPainter painter(viewport());
    painter.setPen(palette().color(QPalette::Disabled, QPalette::Text));
    painter.drawText(viewport()->rect().adjusted(12, 12, -12, -12), Qt::AlignCenter | Qt::TextWordWrap, EmptyHint());
}

int QueueListView::StatusColumnWidth() const
{
    const QFontMetrics metrics = fontMetrics();
    int widest = 0;
    for (const char *text : {"Retry Wait Domain Missing", "Retry Wait Blank Filename", "Error: Domain Missing",
                             "Retry Wait Terminated", "Busy 100%"})
        widest = std::max(widest, metrics.horizontalAdvance(QLatin1String(text)));
    return widest + 2 * metrics.averageCharWidth() + 8;
}

void QueueListView::FitColumns()
{
    const int status = StatusColumnWidth();
    // What the columns of a set width leave, a third of which at most goes to the one that gives way.
    int set = 0;
    for (const QueueColumn &column : QueueColumns) {
        if (column.width == QueueColumnWidth::Design)
            set += PxX(column.twips);
        else if (column.width == QueueColumnWidth::Status)
            set += status;
    }
    const int rest = std::max(0, viewport()->width() - set);
    int givenWay = 0;
    for (const QueueColumn &column : QueueColumns)
        if (column.width == QueueColumnWidth::GivesWay)
            givenWay += std::min(PxX(column.twips), rest / 3);
    for (const QueueColumn &column : QueueColumns) {
        switch (column.width) {
        case QueueColumnWidth::Design: setColumnWidth(column.column, PxX(column.twips)); break;
        case QueueColumnWidth::GivesWay: setColumnWidth(column.column, std::min(PxX(column.twips), rest / 3)); break;
        case QueueColumnWidth::Rest: setColumnWidth(column.column, std::max(0, rest - givenWay)); break;
        case QueueColumnWidth::Status: setColumnWidth(column.column, status); break;
        }
    }
}

bool QueueListView::viewportEvent(QEvent *event)
{
    switch (event->type()) {
    case QEvent::Resize:
        FitColumns();
        break;
    case QEvent::DragEnter:
    case QEvent::DragMove:
        if (!DroppedFiles(static_cast<QDropEvent *>(event)->mimeData()).isEmpty()) {
            static_cast<QDropEvent *>(event)->acceptProposedAction();
            return true;
        }
        break;
    case QEvent::Drop: {
        auto *drop = static_cast<QDropEvent *>(event);
        const QList<QByteArray> files = DroppedFiles(drop->mimeData());
        if (!files.isEmpty()) {
            drop->acceptProposedAction();
            emit filesDropped(files);
        }
        return true;
    }
    default:
        break;
    }
    return QTreeView::viewportEvent(event);
}

void QueueListView::keyPressEvent(QKeyEvent *event)
{
    // The Delete key of the number pad counts too.
    if (event->key() == Qt::Key_Delete && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        emit deletePressed();
        event->accept();
        return;
    }
    QTreeView::keyPressEvent(event);
}

QList<QByteArray> DroppedFiles(const QMimeData *data)
{
    QList<QByteArray> files;
    if (!data || !data->hasUrls())
        return files;
    for (const QUrl &url : data->urls())
        if (url.isLocalFile())
            files << QFile::encodeName(url.toLocalFile());
    return files;
}
