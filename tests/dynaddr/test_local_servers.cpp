// The test servers start on a free loopback port, accept connections and end when stopped.
#include "LocalServers.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <QTcpSocket>

TEST(LocalServers, FtpServerGreetsOnLoopbackAndEndsWhenStopped)
{
    ScratchDir dir;
    LocalServer server;
    ASSERT_TRUE(StartFtpServer(server, MakeFolder(dir.path(), "home"), "user", "secret")) << server.Output().constData();
    ASSERT_GT(server.Pid(), 0);

    QTcpSocket control;
    control.connectToHost("127.0.0.1", static_cast<quint16>(server.Port()));
    ASSERT_TRUE(control.waitForConnected(5000));
    ASSERT_TRUE(WaitFor([&] { return control.canReadLine(); }));
    EXPECT_TRUE(control.readLine().startsWith("220 ")) << server.Output().constData();

    const int port = server.Port();
    server.Stop();
    EXPECT_FALSE(server.Running());
    QTcpSocket again;
    again.connectToHost("127.0.0.1", static_cast<quint16>(port));
    EXPECT_FALSE(again.waitForConnected(1000));
    server.Stop(); // a second stop does nothing
}

TEST(LocalServers, ServerThatNeverAcceptsIsReportedAndEnded)
{
    LocalServer server;
    // Sleeps without listening: the start gives up after its bound and leaves nothing running.
    EXPECT_FALSE(server.Start("/bin/sleep", [](int) { return QStringList{"30"}; }, 500));
    EXPECT_FALSE(server.Running());
}
