// Servers the tests start on loopback as child processes: a free port, a wait until the server
// accepts connections, and a stop by process id. Also the FTP server the address posting tests
// upload to, with its home folder chosen by the caller.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

class QProcess;

// Debian's own interpreter, which has the server modules the tests use.
inline constexpr char DebianPython[] = "/usr/bin/python3";

// A script of tests/dynaddr/servers.
QString ServerScript(const QString &name);

// Creates the folder parent/name (and any missing parents) and returns its path.
QString MakeFolder(const QString &parent, const QString &name);

class LocalServer {
public:
    LocalServer();
    ~LocalServer();
    LocalServer(const LocalServer &) = delete;
    LocalServer &operator=(const LocalServer &) = delete;

    // Starts program with the arguments made for a free loopback port and waits until the port
    // accepts a connection. A server that ends at once (another process took the port in
    // between) is started again on another port, a few times. False when it never accepts.
    bool Start(const QString &program, const std::function<QStringList(int port)> &arguments,
               int timeoutMs = 15000);
    // An environment variable the server is started with, besides the test's own.
    void SetEnvironment(const QString &name, const QString &value) { environment_ << name << value; }
    // Ends the server: SIGTERM to its process id, SIGKILL when it lingers. Safe to repeat.
    void Stop();

    bool Running() const;
    int Port() const { return port_; }
    qint64 Pid() const;
    // What the server wrote on its standard output and error, for failure messages.
    QByteArray Output() const;

private:
    bool StartOnce(const QString &program, const QStringList &arguments, int port, int timeoutMs);

    std::unique_ptr<QProcess> process_;
    QString outputFile_;
    QStringList environment_; // name, value, name, value, ...
    int port_ = 0;
};

// The FTP server from Debian's packages on loopback: one user with every right in home, active
// mode, a wrong password answered at once. Its log of commands goes to Output().
bool StartFtpServer(LocalServer &server, const QString &home, const QByteArray &user,
                    const QByteArray &password);

// The same server speaking explicit TLS with this certificate and key, required on the control
// and the data connection; withoutEpsv answers EPSV as an unknown command.
bool StartTlsFtpServer(LocalServer &server, const QString &home, const QByteArray &user, const QByteArray &password,
                       const QString &certificate, const QString &key, bool withoutEpsv = false);

// vsftpd from Debian's packages in the foreground, run as the user who starts it, on loopback,
// with its configuration in folder: anonymous logins (any password) storing into home, TLS
// required on both connections with this certificate and key, and every data connection
// required to resume the control connection's TLS session.
// With tls12Only its OpenSSL offers nothing newer than TLS 1.2.
bool StartVsftpd(LocalServer &server, const QString &folder, const QString &home, const QString &certificate,
                 const QString &key, bool tls12Only = false);

// The scripted web server: every connection gets the bytes of responseFile (split into separate
// sends at "<<PAUSE>>"); each request is appended to requestsFile when one is named; with
// keepOpen the connection stays open after the response.
bool StartScriptedWebServer(LocalServer &server, const QString &responseFile, const QString &requestsFile = {},
                            bool keepOpen = false);

// nginx from Debian's packages in the foreground with its own prefix folder (configuration,
// pid file and temporary folders inside it, errors to standard error, no access log), serving
// root on loopback. With a certificate and key it speaks TLS on that port.
bool StartNginx(LocalServer &server, const QString &prefix, const QString &root, const QString &certificate = {},
                const QString &key = {});

// A self-signed certificate and its key, made with openssl, naming 127.0.0.1 as a subject
// alternative name. False when openssl fails.
bool MakeLoopbackCertificate(const QString &certificate, const QString &key);
