// Starting and stopping the test servers.
#include "LocalServers.h"

#include "TestSupport.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTcpSocket>
#include <QTemporaryFile>
#include <QThread>

QString ServerScript(const QString &name)
{
    return QStringLiteral(PW_SOURCE_DIR "/tests/dynaddr/servers/") + name;
}

QString MakeFolder(const QString &parent, const QString &name)
{
    const QString path = QDir(parent).filePath(name);
    QDir().mkpath(path);
    return path;
}

LocalServer::LocalServer() = default;

LocalServer::~LocalServer()
{
    Stop();
    if (!outputFile_.isEmpty())
        QFile::remove(outputFile_);
}

bool LocalServer::Start(const QString &program, const std::function<QStringList(int port)> &arguments,
                        int timeoutMs)
{
    Stop();
    if (outputFile_.isEmpty()) {
        QTemporaryFile file(QDir::temp().filePath(QStringLiteral("pw-server-XXXXXX.log")));
        file.setAutoRemove(false);
        if (!file.open())
            return false;
        outputFile_ = file.fileName();
    }
    for (int tries = 0; tries < 5; ++tries) {
        const int port = FreeLoopbackPort();
        if (StartOnce(program, arguments(port), port, timeoutMs))
            return true;
        const bool endedEarly = !Running();
        Stop();
        if (!endedEarly)
            return false; // it runs but never accepted: another port will not help
    }
    return false;
}

bool LocalServer::StartOnce(const QString &program, const QStringList &arguments, int port, int timeoutMs)
{
    process_ = std::make_unique<QProcess>();
    // Output goes to a file: a pipe nobody reads would stall a talkative server.
    process_->setStandardOutputFile(outputFile_, QIODevice::Append);
    process_->setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // Debian's interpreter with its own modules, whatever other Python the shell set up.
    env.remove(QStringLiteral("PYTHONPATH"));
    env.remove(QStringLiteral("PYTHONHOME"));
    for (qsizetype i = 0; i + 1 < environment_.size(); i += 2)
        env.insert(environment_[i], environment_[i + 1]);
    process_->setProcessEnvironment(env);
    process_->start(program, arguments);
    if (!process_->waitForStarted(5000))
        return false;
    port_ = port;
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        if (!Running())
            return false;
        QTcpSocket probe;
        probe.connectToHost(QStringLiteral("127.0.0.1"), static_cast<quint16>(port));
        if (probe.waitForConnected(200)) {
            probe.abort();
            return true;
        }
        QThread::msleep(20);
    }
    return false;
}

void LocalServer::Stop()
{
    if (!process_)
        return;
    if (process_->state() != QProcess::NotRunning) {
        process_->terminate();
        if (!process_->waitForFinished(3000)) {
            process_->kill();
            process_->waitForFinished(3000);
        }
    }
    process_.reset();
}

bool LocalServer::Running() const
{
    return process_ && process_->state() == QProcess::Running;
}

qint64 LocalServer::Pid() const
{
    return process_ ? process_->processId() : 0;
}

QByteArray LocalServer::Output() const
{
    QFile file(outputFile_);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool StartFtpServer(LocalServer &server, const QString &home, const QByteArray &user, const QByteArray &password)
{
    return server.Start(QString::fromLatin1(DebianPython), [&](int port) {
        return QStringList{QStringLiteral("-u"), ServerScript(QStringLiteral("ftp_server.py")),
                           QStringLiteral("--port"), QString::number(port),
                           QStringLiteral("--home"), home,
                           QStringLiteral("--user"), QString::fromLatin1(user),
                           QStringLiteral("--password"), QString::fromLatin1(password)};
    });
}

bool StartTlsFtpServer(LocalServer &server, const QString &home, const QByteArray &user, const QByteArray &password,
                       const QString &certificate, const QString &key, bool withoutEpsv)
{
    return server.Start(QString::fromLatin1(DebianPython), [&](int port) {
        QStringList args{QStringLiteral("-u"), ServerScript(QStringLiteral("ftp_server.py")),
                         QStringLiteral("--port"), QString::number(port),
                         QStringLiteral("--home"), home,
                         QStringLiteral("--user"), QString::fromLatin1(user),
                         QStringLiteral("--password"), QString::fromLatin1(password),
                         QStringLiteral("--certfile"), certificate,
                         QStringLiteral("--keyfile"), key};
        if (withoutEpsv)
            args << QStringLiteral("--no-epsv");
        return args;
    });
}

bool StartVsftpd(LocalServer &server, const QString &folder, const QString &home, const QString &certificate,
                 const QString &key, bool tls12Only)
{
    if (tls12Only) {
        const QString opensslConfig = QDir(folder).filePath(QStringLiteral("openssl.cnf"));
        QFile file(opensslConfig);
        const QByteArray text = "openssl_conf = conf\n[conf]\nssl_conf = ssl\n[ssl]\nsystem_default = tls\n"
                                "[tls]\nMaxProtocol = TLSv1.2\nCipherString = DEFAULT\n";
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text) != text.size())
            return false;
        server.SetEnvironment(QStringLiteral("OPENSSL_CONF"), opensslConfig);
    }
    const QString config = QDir(folder).filePath(QStringLiteral("vsftpd.conf"));
    const QByteArray empty = MakeFolder(folder, QStringLiteral("empty")).toLocal8Bit();
    const QByteArray text = "listen=YES\n"
                            "listen_ipv6=NO\n"
                            "listen_address=127.0.0.1\n"
                            "background=NO\n"
                            // No root rights needed, none used: no chroot, no change of user.
                            "run_as_launching_user=YES\n"
                            "seccomp_sandbox=NO\n"
                            "local_enable=NO\n"
                            "anonymous_enable=YES\n"
                            "no_anon_password=NO\n"
                            "anon_root=" + home.toLocal8Bit() + "\n"
                            "write_enable=YES\n"
                            "anon_upload_enable=YES\n"
                            "anon_other_write_enable=YES\n"
                            "pasv_enable=YES\n"
                            "ssl_enable=YES\n"
                            "allow_anon_ssl=YES\n"
                            "force_anon_logins_ssl=YES\n"
                            "force_anon_data_ssl=YES\n"
                            "require_ssl_reuse=YES\n"
                            "ssl_ciphers=HIGH\n"
                            "rsa_cert_file=" + certificate.toLocal8Bit() + "\n"
                            "rsa_private_key_file=" + key.toLocal8Bit() + "\n"
                            "secure_chroot_dir=" + empty + "\n"
                            "xferlog_enable=NO\n";
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text) != text.size())
        return false;
    file.close();
    return server.Start(QStringLiteral("/usr/sbin/vsftpd"), [&](int port) {
        return QStringList{config, QStringLiteral("-olisten_port=") + QString::number(port)};
    });
}

bool StartScriptedWebServer(LocalServer &server, const QString &responseFile, const QString &requestsFile,
                            bool keepOpen)
{
    return server.Start(QString::fromLatin1(DebianPython), [&](int port) {
        QStringList args{QStringLiteral("-u"), ServerScript(QStringLiteral("http_script_server.py")),
                         QStringLiteral("--port"), QString::number(port), QStringLiteral("--response"), responseFile};
        if (!requestsFile.isEmpty())
            args << QStringLiteral("--requests") << requestsFile;
        if (keepOpen)
            args << QStringLiteral("--keep-open");
        return args;
    });
}

bool StartNginx(LocalServer &server, const QString &prefix, const QString &root, const QString &certificate,
                const QString &key)
{
    const QString config = QDir(prefix).filePath(QStringLiteral("nginx.conf"));
    return server.Start(QStringLiteral("/usr/sbin/nginx"), [&](int port) {
        QByteArray listen = "listen 127.0.0.1:" + QByteArray::number(port);
        QByteArray tls;
        if (!certificate.isEmpty()) {
            listen += " ssl";
            tls = "    ssl_certificate " + certificate.toLocal8Bit() + ";\n    ssl_certificate_key " + key.toLocal8Bit() +
                  ";\n";
        }
        const QByteArray dir = prefix.toLocal8Bit();
        const QByteArray text = "pid " + dir + "/nginx.pid;\n"
                                "error_log stderr;\n"
                                "events { worker_connections 64; }\n"
                                "http {\n"
                                "  include /etc/nginx/mime.types;\n"
                                "  default_type application/octet-stream;\n"
                                "  access_log off;\n"
                                "  client_body_temp_path " + dir + "/client_body_temp;\n"
                                "  proxy_temp_path " + dir + "/proxy_temp;\n"
                                "  fastcgi_temp_path " + dir + "/fastcgi_temp;\n"
                                "  uwsgi_temp_path " + dir + "/uwsgi_temp;\n"
                                "  scgi_temp_path " + dir + "/scgi_temp;\n"
                                "  server {\n"
                                "    " + listen + ";\n"
                                "    root " + root.toLocal8Bit() + ";\n" + tls +
                                "  }\n"
                                "}\n";
        QFile file(config);
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.write(text);
        return QStringList{QStringLiteral("-p"), prefix, QStringLiteral("-c"), config, QStringLiteral("-g"),
                           QStringLiteral("daemon off; master_process off;")};
    });
}

bool MakeLoopbackCertificate(const QString &certificate, const QString &key)
{
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("rsa:2048"),
                   QStringLiteral("-nodes"), QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
                   QStringLiteral("/CN=Parcelwise test"), QStringLiteral("-addext"),
                   QStringLiteral("subjectAltName=IP:127.0.0.1"), QStringLiteral("-keyout"), key,
                   QStringLiteral("-out"), certificate});
    return openssl.waitForFinished(60000) && openssl.exitStatus() == QProcess::NormalExit && openssl.exitCode() == 0;
}
