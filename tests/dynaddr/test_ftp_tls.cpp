// The FTP upload client over TLS ("ftpes://") against the TLS-speaking FTP servers from Debian's
// packages on loopback, with a certificate made by openssl for the test and trusted only from
// here: both pages stored, passive mode, the data connection resuming the control connection's
// session (the vsftpd here refuses any other), and the ways TLS can fail, none of them retried
// and none of them followed by a login in the clear.
#include "FtpFixture.h"
#include "dynaddr/AddressPage.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QSslCertificate>

namespace {

QByteArray ReadFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// A scratch folder with a loopback certificate and its key.
struct Certified {
    Certified() { made = MakeLoopbackCertificate(dir.file("cert.pem"), dir.file("key.pem")); }
    QString Certificate() const { return dir.file("cert.pem"); }
    QString Key() const { return dir.file("key.pem"); }
    void Trust(FtpUpload &client) const { client.SetExtraCaCertificates(QSslCertificate::fromPath(Certificate())); }

    ScratchDir dir;
    bool made = false;
};

// The diagnostic lines in order, so that the order of commands can be checked.
qsizetype Where(const QByteArray &diagnostics, const QByteArray &line)
{
    return diagnostics.indexOf(line + "\r\n");
}

} // namespace

TEST(FtpTls, PostsTheOpenThenTheClosedPageOverTlsInPassiveMode)
{
    enum class Server { Pyftpdlib, PyftpdlibWithoutEpsv, Vsftpd, VsftpdTls12 };
    const struct {
        const char *name;
        Server server;
    } rows[] = {
        {"pyftpdlib", Server::Pyftpdlib},
        {"pyftpdlib without EPSV", Server::PyftpdlibWithoutEpsv},
        {"vsftpd", Server::Vsftpd},
        // Before TLS 1.3 the session is resumed without waiting for a ticket.
        {"vsftpd, TLS 1.2", Server::VsftpdTls12},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        Certified tls;
        ASSERT_TRUE(tls.made);
        const QString home = MakeFolder(tls.dir.path(), "home");
        LocalServer server;
        QByteArray login = "user", password = "s3cr#t";
        const bool vsftpd = row.server == Server::Vsftpd || row.server == Server::VsftpdTls12;
        if (vsftpd) {
            login = "anonymous";
            ASSERT_TRUE(StartVsftpd(server, tls.dir.path(), home, tls.Certificate(), tls.Key(),
                                    row.server == Server::VsftpdTls12))
                << server.Output().constData();
        } else {
            ASSERT_TRUE(StartTlsFtpServer(server, home, login, password, tls.Certificate(), tls.Key(),
                                          row.server == Server::PyftpdlibWithoutEpsv))
                << server.Output().constData();
        }
        FtpClientFixture f;
        tls.Trust(f.client);
        FtpJob job = TlsLoopbackJob(server.Port(), "me.html", login, password);
        job.ListenPort = 40000;
        ASSERT_TRUE(f.client.Start(FtpPageMode::Go, job));
        ASSERT_TRUE(f.WaitEnded()) << f.client.Diagnostics().constData();
        const QByteArray diag = f.client.Diagnostics();
        ASSERT_EQ(f.RecordTexts(), (QList<QByteArray>{"GO/000", "DISK/000", "DONE/802"}))
            << diag.constData() << server.Output().constData();
        const QByteArray page = BuildAddressPage("GO", "127.0.0.1", ShortDate(f.clock.now()),
                                                 ShortTime(f.clock.now()), 40000);
        // pyftpdlib drops the page's last lone CR in ASCII mode; vsftpd keeps every byte.
        EXPECT_EQ(ReadFile(home + "/me.html"), vsftpd ? page : StoredByDebianServer(page));

        // TLS before the login, protection after it, passive mode instead of PORT.
        const QList<QByteArray> order = {"> AUTH TLS", "> USER " + login, "> PASS ********", "> PBSZ 0",
                                         "> PROT P", "> PWD", "> TYPE A", "> EPSV"};
        for (qsizetype i = 0; i + 1 < order.size(); ++i)
            EXPECT_LT(Where(diag, order[i]), Where(diag, order[i + 1])) << order[i].constData() << diag.constData();
        EXPECT_GE(Where(diag, "> AUTH TLS"), 0);
        EXPECT_LT(Where(diag, "> AUTH TLS"), diag.indexOf("* TLS 1."));
        // Both connections encrypted, with the version the server allows.
        for (const char *connection : {"control", "data"}) {
            const QByteArray tls12 = "* TLS 1.2 on the " + QByteArray(connection) + " connection";
            const QByteArray tls13 = "* TLS 1.3 on the " + QByteArray(connection) + " connection";
            if (row.server == Server::VsftpdTls12)
                EXPECT_GE(Where(diag, tls12), 0) << diag.constData();
            else
                EXPECT_TRUE(Where(diag, tls12) >= 0 || Where(diag, tls13) >= 0) << diag.constData();
        }
        EXPECT_EQ(Where(diag, "> PASV") >= 0, row.server == Server::PyftpdlibWithoutEpsv) << diag.constData();
        EXPECT_FALSE(diag.contains("> PORT"));
        EXPECT_FALSE(diag.contains(password));
        EXPECT_EQ(f.client.NextDataPort(), 1555); // no local data port in passive mode

        f.records.clear();
        ASSERT_TRUE(f.client.Start(FtpPageMode::Close, job));
        ASSERT_TRUE(f.WaitEnded()) << f.client.Diagnostics().constData();
        EXPECT_EQ(f.RecordTexts(), (QList<QByteArray>{"GO/000", "DISK/000", "DONE/802"}))
            << f.client.Diagnostics().constData();
        const QByteArray closed = BuildAddressPage("CLOSE", {}, {}, {}, 0);
        EXPECT_EQ(ReadFile(home + "/me.html"), vsftpd ? closed : StoredByDebianServer(closed));
    }
}

// A server without TLS, a certificate not trusted, a server that drops the connection where the
// handshake should be and one that refuses PROT P: each ends the first attempt with its code
// although more attempts are allowed, and no login goes out in the clear.
TEST(FtpTls, RefusalsAndFailuresEndAtOnceAndNeverLogInInTheClear)
{
    enum class Server { Plain, Untrusted, CloseAtHandshake, RefusesProt };
    const struct {
        const char *name;
        Server server;
        const char *record;
    } rows[] = {
        {"server without TLS", Server::Plain, "ERROR/855"},
        {"certificate not trusted", Server::Untrusted, "ERROR/856"},
        {"connection closed at the handshake", Server::CloseAtHandshake, "ERROR/856"},
        {"PROT P refused", Server::RefusesProt, "ERROR/857"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        Certified tls;
        ASSERT_TRUE(tls.made);
        const QString home = MakeFolder(tls.dir.path(), "home");
        LocalServer server;
        switch (row.server) {
        case Server::Plain: ASSERT_TRUE(StartFtpServer(server, home, "user", "secret")); break;
        case Server::Untrusted:
            ASSERT_TRUE(StartTlsFtpServer(server, home, "user", "secret", tls.Certificate(), tls.Key()));
            break;
        case Server::CloseAtHandshake: ASSERT_TRUE(StartScriptedFtpServer(server, "tls-close")); break;
        case Server::RefusesProt:
            ASSERT_TRUE(StartScriptedFtpServer(server, "tls-no-prot",
                                               {"--certfile", tls.Certificate(), "--keyfile", tls.Key()}));
            break;
        }
        FtpClientFixture f;
        if (row.server != Server::Untrusted)
            tls.Trust(f.client);
        FtpJob job = TlsLoopbackJob(server.Port());
        job.RetryLimit = 3;
        job.RetryDelay = 1;
        ASSERT_TRUE(f.client.Start(FtpPageMode::Go, job));
        ASSERT_TRUE(f.WaitEnded()) << f.client.Diagnostics().constData();
        const QByteArray diag = f.client.Diagnostics();
        EXPECT_EQ(f.RecordTexts(), (QList<QByteArray>{"GO/000", "DISK/000", row.record}))
            << diag.constData() << server.Output().constData();
        EXPECT_FALSE(f.client.Busy());
        EXPECT_FALSE(diag.contains("secret"));
        if (row.server == Server::RefusesProt) {
            // The login went over TLS; what followed it was refused.
            EXPECT_TRUE(server.Output().contains("PROT P")) << server.Output().constData();
            EXPECT_LT(Where(diag, "> USER user"), Where(diag, "> PROT P"));
        } else {
            EXPECT_FALSE(diag.contains("> USER")) << diag.constData();
            EXPECT_FALSE(server.Output().contains("USER")) << server.Output().constData();
        }
        if (row.server == Server::Untrusted) {
            EXPECT_TRUE(diag.contains("* Certificate (control): ")) << diag.constData();
        }
    }
}

// Under TLS 1.3 the data connection waits for the server's session ticket; a server that sends
// none gets the data connection with a new session after a few seconds, not never.
TEST(FtpTls, DataConnectionWaitsForTheSessionTicketForAFewSecondsOnly)
{
    Certified tls;
    ASSERT_TRUE(tls.made);
    LocalServer server;
    ASSERT_TRUE(StartScriptedFtpServer(server, "tls-no-ticket",
                                       {"--certfile", tls.Certificate(), "--keyfile", tls.Key(), "--store",
                                        tls.dir.file("stored")}));
    FtpClientFixture f;
    tls.Trust(f.client);
    ASSERT_TRUE(f.client.Start(FtpPageMode::Go, TlsLoopbackJob(server.Port())));
    ASSERT_TRUE(WaitFor([&] { return f.client.Diagnostics().contains("* Waiting for the TLS session ticket"); }))
        << f.client.Diagnostics().constData() << server.Output().constData();
    Pump(300);
    f.clock.advanceSeconds(FtpUpload::TicketWaitSeconds - 1);
    f.client.WatchdogTick();
    Pump(300);
    EXPECT_FALSE(f.client.Diagnostics().contains("* Data connection to port"));
    EXPECT_FALSE(server.Output().contains("data connection accepted"));

    f.clock.advanceSeconds(1);
    f.client.WatchdogTick();
    ASSERT_TRUE(f.WaitEnded()) << f.client.Diagnostics().constData() << server.Output().constData();
    EXPECT_EQ(f.LastRecord(), (FtpRecord{FtpWord::Done, "802"})) << f.client.Diagnostics().constData();
    EXPECT_TRUE(f.client.Diagnostics().contains(
        "* No TLS session ticket within 5 seconds: the data connection starts a new session\r\n"));
    EXPECT_EQ(ReadFile(tls.dir.file("stored")),
              BuildAddressPage("GO", "127.0.0.1", ShortDate(f.clock.now()), ShortTime(f.clock.now()), 4444));
}
