// The main window.
#include "ui/ParcelWin.h"

#include "transfer/Engine.h"

#include <QCloseEvent>
#include <QLabel>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QStatusBar>

ParcelWin::ParcelWin(Engine &engine, QWidget *parent) : QMainWindow(parent), engine_(engine)
{
    setWindowTitle(QStringLiteral("Parcelwise"));
    log_ = new QPlainTextEdit(this);
    log_->setReadOnly(true);
    setCentralWidget(log_);
    for (auto &panel : panels_) {
        panel = new QLabel(this);
        statusBar()->addWidget(panel, 1);
    }
    auto *file = menuBar()->addMenu(QStringLiteral("&File"));
    file->addAction(QStringLiteral("E&xit"), this, [this] { engine_.BeginShutdown(); });
    log_->setPlainText(QString::fromLocal8Bit(engine_.Log().ScreenText()));
    connect(&engine_.Log(), &TransferLog::LineAdded, this, [this](const QByteArray &line, bool cleared) {
        if (cleared)
            log_->clear();
        log_->appendPlainText(QString::fromLocal8Bit(line));
    });
    for (int p = 1; p <= 3; ++p)
        panels_[p - 1]->setText(QString::fromLocal8Bit(engine_.StatusPanel(p)));
    connect(&engine_, &Engine::StatusPanelChanged, this, [this](int panel, const QByteArray &text) {
        panels_[panel - 1]->setText(QString::fromLocal8Bit(text));
    });
    resize(800, 600);
}

void ParcelWin::closeEvent(QCloseEvent *event)
{
    if (engine_.MayUnload) {
        event->accept();
        return;
    }
    event->ignore();
    engine_.BeginShutdown();
}
