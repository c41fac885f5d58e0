// The queue loader: pick an addressee, type an optional message, gather files by the file
// dialog or by dropping them from the desktop, then "Load" puts them all at the bottom of the
// queue at once.
#pragma once

#include <QByteArray>
#include <QDialog>
#include <QList>
#include <QStringList>
#include <QTreeWidget>

class Engine;
class QComboBox;
class QPlainTextEdit;

// The file list: accepts files dragged in from the desktop and nothing else.
class PendingFileList : public QTreeWidget {
    Q_OBJECT
public:
    explicit PendingFileList(QWidget *parent = nullptr);

signals:
    void filesDropped(const QStringList &paths);

protected:
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dropEvent(QDropEvent *event) override;
};

class QLoadWin : public QDialog {
    Q_OBJECT
public:
    // Row images of the file list.
    enum PendingImage : int { FileFound = 1, FileMissing = 3 };

    explicit QLoadWin(Engine &engine, QWidget *parent = nullptr);

    // One row for the path, addressed to the user shown in "Send To:" right now. A path the
    // queue cannot store is refused with a message box naming it; before the window is shown
    // (files handed over by another start) the message waits until the window is on screen.
    void AddPendingFile(const QByteArray &path);
    // One row for each path, in order; for files dropped on the main window or handed over by
    // another start before the window is shown.
    void AddFiles(const QStringList &paths);
    // "Select File", "Delete" and "Load". "Load" with a message too long to travel says so and
    // queues nothing; the window stays open with the focus on the message.
    void SelectFile();
    void DeleteSelected();
    void Load();

    struct PendingFile {
        int image;
        QByteArray user, fileName, path;
    };
    QList<PendingFile> PendingFiles() const;
    QTreeWidget *fileList() const { return files_; }
    QComboBox *sendTo() const { return sendTo_; }

    // The file dialog's filter.
    static const char *const FileFilter;
    // The folder the file dialog opens in: the last one files were chosen from in this run of the
    // program, at first the home folder, never the program folder. Nothing of it is stored.
    QString StartFolder() const;
    // Forgets the last folder, as a new run of the program would.
    static void ForgetLastFolder();

protected:
    void showEvent(QShowEvent *event) override;

private:
    void Refuse(const QString &text);

    Engine &engine_;
    QStringList heldRefusals_;
    QComboBox *sendTo_ = nullptr;       // PopUpMenu1
    QPlainTextEdit *message_ = nullptr; // Editfield1
    PendingFileList *files_ = nullptr;  // ListBox1
};
