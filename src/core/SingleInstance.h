// One running instance per program folder; installations in other folders run side by side.
#pragma once

#include <QByteArray>
#include <QLockFile>
#include <QString>
#include <memory>

class SingleInstance {
public:
    enum class Result {
        Acquired,    // this process holds the program folder now
        HeldByOther, // another live process holds it
        Failed,      // the folder's lock cannot be made at all (FailureText says why)
    };

    explicit SingleInstance(const QString &programFolder);
    // A refused test leaves every file as it was.
    Result Acquire();
    // After Failed: "Cannot use the program folder <path>: <reason>".
    QByteArray FailureText() const { return failure_; }
    // The process id of a live process holding the folder, read without taking the lock (so a
    // program starting at this moment is never turned away); 0 when none holds it.
    static qint64 LiveHolder(const QString &programFolder);

private:
    QString folder_;
    std::unique_ptr<QLockFile> lock_;
    QByteArray failure_;
};
