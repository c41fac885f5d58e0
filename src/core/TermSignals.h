// Turns SIGTERM, SIGINT and SIGHUP into a call on the event loop's thread, so that a desktop session
// ending, a closed terminal or Ctrl-C in a terminal runs the same orderly shutdown as "Exit".
#pragma once

#include <QObject>
#include <functional>

class QSocketNotifier;

class TermSignals : public QObject {
    Q_OBJECT
public:
    explicit TermSignals(std::function<void()> onSignal, QObject *parent = nullptr);
    ~TermSignals() override;

private:
    std::function<void()> onSignal_;
    QSocketNotifier *notifier_ = nullptr;
};
