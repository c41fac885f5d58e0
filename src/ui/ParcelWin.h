// The main window: a view of the engine's state and the place its commands are given.
#pragma once

#include <QMainWindow>

class Engine;
class QPlainTextEdit;
class QLabel;

class ParcelWin : public QMainWindow {
    Q_OBJECT
public:
    explicit ParcelWin(Engine &engine, QWidget *parent = nullptr);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    Engine &engine_;
    QPlainTextEdit *log_ = nullptr;
    QLabel *panels_[3] = {};
};
