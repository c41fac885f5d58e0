// One running instance per program folder; installations in other folders run side by side.
#pragma once

#include <QLockFile>
#include <QString>
#include <memory>

class SingleInstance {
public:
    explicit SingleInstance(const QString &programFolder);
    // False when another instance holds the program folder. A refused test leaves every
    // file as it was.
    bool Acquire();

private:
    std::unique_ptr<QLockFile> lock_;
};
