// The users window: maintains the address book. Each entry pairs the login this user hands out
// to a peer with the login the peer handed out, plus the peer's address. Every confirmed change
// is stored at once through the engine, which writes the users file.
#pragma once

#include <QByteArray>
#include <QDialog>
#include <QList>

#include <optional>

class Engine;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTreeWidget;
class QTreeWidgetItem;

class UserWin : public QDialog {
    Q_OBJECT
public:
    explicit UserWin(Engine &engine, QWidget *parent = nullptr);

    // The buttons and row clicks. The fields show the current row whenever it changes (mouse,
    // arrow keys, Add/Update); Delete removes that row after asking, and leaves no row current.
    void AddUpdate();
    void ClearFields();
    void DeleteUser();
    void RowClicked(QTreeWidgetItem *item);
    // Forgets the pinned key of the current row's user (after asking), so that the next
    // encrypted transfer with that user pins the key it shows.
    void ForgetKey();

    // Row fields 1 to 9 of a list row, as bytes.
    QList<QByteArray> RowFields(int row) const;
    int RowCount() const;
    QTreeWidget *list() const { return list_; }

private:
    void FillList();
    void StoreList();
    void SetRowFields(QTreeWidgetItem *item, const QList<QByteArray> &fields);
    void SelectStatic(bool isStatic);
    void Refuse(const QString &message, QLineEdit *field);
    // The key line and the Forget Key button follow the current row.
    void ShowPinnedKey();

    Engine &engine_;
    QTreeWidget *list_ = nullptr;
    QLineEdit *name_ = nullptr;         // Editfield5: the login this user gave the peer
    QLineEdit *password_ = nullptr;     // Editfield6
    QLineEdit *sendName_ = nullptr;     // Editfield1: the login the peer gave this user
    QLineEdit *sendPassword_ = nullptr; // Editfield2
    QLineEdit *address_ = nullptr;      // Editfield3
    QLineEdit *port_ = nullptr;         // Editfield4
    QRadioButton *static_ = nullptr;
    QRadioButton *dynamic_ = nullptr;
    // The address type's bytes of the row the fields show, until the person picks a type.
    std::optional<QByteArray> shownAddressType_;
    QLabel *pinnedKey_ = nullptr;       // the current user's pinned key fingerprint
    QPushButton *forgetKey_ = nullptr;  // "Forget Key"
};
