// The FTP client fixture.
#include "FtpFixture.h"

FtpClientFixture::FtpClientFixture()
{
    QObject::connect(&client, &FtpUpload::Record, [this](const FtpRecord &r) { records << r; });
}

bool FtpClientFixture::WaitEnded(int timeoutMs)
{
    return WaitFor([this] {
        if (records.isEmpty() || client.Busy())
            return false;
        const FtpWord w = records.last().Word;
        return w == FtpWord::Done || w == FtpWord::Error || w == FtpWord::Abort;
    }, timeoutMs);
}

QList<QByteArray> FtpClientFixture::RecordTexts() const
{
    QList<QByteArray> texts;
    for (const FtpRecord &r : records)
        texts << FtpWordText(r.Word) + '/' + r.Code;
    return texts;
}

QByteArray StoredByDebianServer(const QByteArray &page)
{
    return page.endsWith('\r') ? page.chopped(1) : page;
}

bool StartScriptedFtpServer(LocalServer &server, const QString &mode, const QStringList &extra)
{
    return server.Start(QString::fromLatin1(DebianPython), [&](int port) {
        return QStringList{QStringLiteral("-u"), ServerScript(QStringLiteral("ftp_script.py")),
                           QStringLiteral("--port"), QString::number(port), QStringLiteral("--mode"), mode} +
               extra;
    });
}

FtpJob LoopbackJob(int port, const QByteArray &file, const QByteArray &login, const QByteArray &password)
{
    FtpJob job;
    job.Url = "ftp://127.0.0.1:" + QByteArray::number(port) + "/" + file;
    job.Login = login;
    job.Password = password;
    job.ListenPort = 4444;
    return job;
}

FtpJob TlsLoopbackJob(int port, const QByteArray &file, const QByteArray &login, const QByteArray &password)
{
    FtpJob job = LoopbackJob(port, file, login, password);
    job.Url = "ftpes://127.0.0.1:" + QByteArray::number(port) + "/" + file;
    return job;
}
