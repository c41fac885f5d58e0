// An FTP upload client on the fake clock with its records collected, and the two loopback
// servers it is tested against: the FTP server from Debian's packages and a scripted one.
#pragma once

#include "LocalServers.h"
#include "TestSupport.h"
#include "core/Clock.h"
#include "dynaddr/FtpUpload.h"

#include <QList>

struct FtpClientFixture {
    FtpClientFixture();
    // Waits until the transfer has ended with a final record (DONE, ERROR or ABORT).
    bool WaitEnded(int timeoutMs = 15000);
    QList<QByteArray> RecordTexts() const;
    FtpRecord LastRecord() const { return records.isEmpty() ? FtpRecord{} : records.last(); }

    FakeClock clock;
    FtpUpload client{clock};
    QList<FtpRecord> records;
};

// The page as the Debian server stores it after an ASCII-mode upload: its final lone CR dropped.
QByteArray StoredByDebianServer(const QByteArray &page);

// Starts the scripted server with a mode (see servers/ftp_script.py) and extra arguments.
bool StartScriptedFtpServer(LocalServer &server, const QString &mode, const QStringList &extra = {});

// A job for a server on loopback; TlsLoopbackJob posts to it as "ftpes://".
FtpJob TlsLoopbackJob(int port, const QByteArray &file = "page.html", const QByteArray &login = "user",
                      const QByteArray &password = "secret");
// A job for a server on loopback.
FtpJob LoopbackJob(int port, const QByteArray &file = "page.html", const QByteArray &login = "user",
                   const QByteArray &password = "secret");
