// The preferences window: channel counts, listening port, own address type and the FTP site
// that receives the address page. Checks the values, then stores them through the engine,
// which writes the preferences file.
#pragma once

#include <QDialog>

class Engine;
class QLineEdit;
class QComboBox;
class QRadioButton;

class PrefWin : public QDialog {
    Q_OBJECT
public:
    explicit PrefWin(Engine &engine, QWidget *parent = nullptr);

    // "Save": checks, stores and closes; a refused value keeps the window open.
    void Save();

private:
    void EnableFtpFields();
    // The address type picked: the mapping follows its default unless the person chose it.
    void AddressTypePicked();
    void Refuse(const QString &message, QLineEdit *field);

    Engine &engine_;
    QLineEdit *sendChannels_ = nullptr;    // Editfield1
    QLineEdit *receiveChannels_ = nullptr; // Editfield2
    QLineEdit *port_ = nullptr;            // Editfield3
    QLineEdit *ftpUrl_ = nullptr;          // Editfield4
    QLineEdit *ftpLogin_ = nullptr;        // Editfield5
    QLineEdit *ftpPassword_ = nullptr;     // Editfield6
    QRadioButton *static_ = nullptr;
    QRadioButton *dynamic_ = nullptr;
    QComboBox *portMapping_ = nullptr; // "Automatic" or "Off"
    bool mappingChosen_ = false;       // the person picked a mapping in this opening
    QComboBox *encryption_ = nullptr;  // "Off", "Prefer" or "Require", in the setting's order
};
