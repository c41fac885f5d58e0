// The queue as the main window shows it: the view model over the engine's queue (row images,
// the percent of a row being sent, tool tips, column captions), the list with its columns fitted
// to its width, and the files dropped on it.
#pragma once

#include <QByteArray>
#include <QIdentityProxyModel>
#include <QList>
#include <QTreeView>

class Engine;
class QMimeData;
struct QueueItem;

// The queue as the list shows it: the engine's model with the row images drawn, and a row being
// sent showing how far its channel has got (on screen only; the stored status stays "Busy").
class QueueViewModel : public QIdentityProxyModel {
public:
    QueueViewModel(const Engine &engine, QObject *parent);

    QVariant data(const QModelIndex &index, int role) const override;
    // The columns carry no captions; their tool tips say what they hold.
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    // A row's tool tip: the file's path and size, what its status means (with where the last
    // attempt went and when the next comes), and the message sent with it, cut at 500
    // characters; every line wrapped so that the tip stays narrower than a screen.
    QString RowToolTip(const QueueItem &item) const;
    // The percent of a row being sent moves as its channel reports progress. The queue keeps
    // its busy rows at hand, so this costs nothing however long the queue.
    void RefreshBusyRows();

private:
    const Engine &engine_;
};

// The queue list ("ListBox1"): the shown columns only, fitted to the list's width whenever it
// changes, so there is no horizontal scroll bar. While the queue is empty it says what is
// missing to fill it (a user, then files). Files dropped on it and the Delete key are handed to
// the window.
class QueueListView : public QTreeView {
    Q_OBJECT
public:
    explicit QueueListView(Engine &engine, QWidget *parent = nullptr);

    QueueViewModel *ViewModel() const { return model_; }
    QString EmptyHint() const;
    // The design widths, but the file name takes whatever the list has left and the columns
    // together never exceed the list; at the smallest size the user column gives way before
    // the status is cut.
    void FitColumns();
    // Wide enough for the longest status a row can show, the percent of a row being sent included.
    int StatusColumnWidth() const;

signals:
    void filesDropped(const QList<QByteArray> &files);
    void deletePressed();

protected:
    void paintEvent(QPaintEvent *event) override;
    bool viewportEvent(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    int PxX(int twips) const;
    int PxY(int twips) const;

    const Engine &engine_;
    QueueViewModel *model_ = nullptr;
};

// The local files among the dropped data, as the system names them; empty when there are none.
QList<QByteArray> DroppedFiles(const QMimeData *data);
