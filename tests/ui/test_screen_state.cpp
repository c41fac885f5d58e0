// The window layer's screen state: the shown channel rendered from the engine's slot snapshots,
// the activity image moved by the scheduler's tick, and the channel animation running only while
// communications run and only where a window keeps it.
#include "UiFixture.h"
#include "core/Users.h"
#include "transfer/Queue.h"
#include "ui/ScreenState.h"

#include <gtest/gtest.h>

#include <QTcpServer>

TEST(ScreenState, AnimationRunsWithCommunicationsAndOnlyInTheWindowLayer)
{
    Installation inst;
    ScreenState screen(*inst.engine);
    int frames = 0;
    QObject::connect(&screen, &ScreenState::AnimationFrameChanged, [&frames](int) { ++frames; });
    EXPECT_FALSE(screen.AnimationRunning());
    inst.engine->StartChannels();
    EXPECT_TRUE(screen.AnimationRunning());
    // The engine itself keeps no picture timer: after its queue timer nothing of it runs.
    EXPECT_TRUE(inst.engine->TimersRunning());
    for (int i = 0; i < 9; ++i)
        screen.PicTick();
    EXPECT_EQ(frames, 9);
    EXPECT_EQ(screen.AnimationFrame(), 2); // eight frames, one full turn
    inst.engine->BeginShutdown();
    EXPECT_FALSE(screen.AnimationRunning());
}

TEST(ScreenState, ActivityImageFollowsTheTicksAndTheAboutFlag)
{
    Installation inst;
    ScreenState screen(*inst.engine);
    inst.engine->StartChannels();
    std::vector<int> images;
    QObject::connect(&screen, &ScreenState::ActivityImageChanged, [&images](int image) { images.push_back(image); });
    for (int i = 0; i < 4; ++i)
        inst.engine->QueueTick();
    screen.RaisePictureFlag();
    for (int i = 0; i < 6; ++i)
        inst.engine->QueueTick();
    // The fifth tick shows the one-shot image the flag asked for, the tenth goes back to 1.
    EXPECT_EQ(images, (std::vector<int>{3, 1}));
    EXPECT_FALSE(screen.PictureFlag());
    // The count starts again at 1: four more ticks show the plain image.
    for (int i = 0; i < 4; ++i)
        inst.engine->QueueTick();
    EXPECT_EQ(images, (std::vector<int>{3, 1, 2}));
}

TEST(ScreenState, ShownChannelIsRenderedFromSnapshots)
{
    Installation inst;
    ScreenState screen(*inst.engine);
    EXPECT_EQ(screen.StatusLine(), "Send channel  1 status: Idle");
    screen.ShowChannel('I', 2);
    EXPECT_EQ(screen.StatusLine(), "Receive channel  2 status: Idle");
    EXPECT_EQ(screen.ShownPercent(), -1);

    // A snapshot of another slot changes nothing shown; one of the shown slot does.
    int changes = 0;
    QObject::connect(&screen, &ScreenState::ChannelStatusChanged, [&changes] { ++changes; });
    SlotSnapshot other = inst.engine->Snapshot('O', 1);
    other.sendLetter = SendLetter::Busy;
    emit inst.engine->SlotUpdated(other);
    EXPECT_EQ(changes, 0);
    SlotSnapshot shown = inst.engine->Snapshot('I', 1);
    shown.receiveLetter = ReceiveLetter::Connected;
    shown.receiveState = ReceiveState::Receiving;
    shown.percent = 40;
    shown.fileName = "f.bin";
    shown.peer = "ann";
    emit inst.engine->SlotProgressed(shown);
    // Progress moves the progress line at once; the status line waits for the next refresh.
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(screen.ProgressLine(), "40% done receiving f.bin from ann");
    EXPECT_EQ(screen.StatusLine(), "Receive channel  2 status: Idle");
    emit inst.engine->SlotUpdated(shown);
    EXPECT_EQ(screen.StatusLine(), "Receive channel  2 status: Receiving");
}

TEST(ScreenState, TheShownChannelsStatusFollowsItsLetterAtOnce)
{
    // A web server that takes the connection and never answers: the address lookup runs on.
    QTcpServer silent;
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost, 0));
    Installation inst;
    ScreenState screen(*inst.engine);
    inst.engine->StartChannels();
    ASSERT_EQ(screen.StatusLine(), "Send channel  1 status: Idle");
    inst.engine->Users = {MakeUserRecord({"bob", "pw", "alice", "pw", "D",
                                          "http://127.0.0.1:" + QByteArray::number(silent.serverPort()) + "/p.html"})};
    inst.dir.write("a.bin", "abc");
    inst.engine->AddQueueItems(
        {QueueModel::MakeNewItem("bob", "a.bin", inst.file("a.bin").toLocal8Bit(), "", inst.clock.nowSerial())});
    ASSERT_TRUE(WaitFor([&] { return inst.engine->Senders()[0].Letter == SendLetter::Waiting; }));
    // No scheduler tick has come: the frame says what the channel's picture already shows.
    EXPECT_EQ(screen.StatusLine(), "Send channel  1 status: Waiting");
}

TEST(ScreenState, StatusPanelsFollowWhatTheEngineAnnounces)
{
    // The window is made between the two start-up steps, as the window run makes it.
    ScratchDir dir;
    FakeClock clock;
    RecordingPrompt prompt;
    Engine engine(dir.path(), clock, prompt);
    engine.InitGlobals();
    engine.Prefs.ListenPort = FreeLoopbackPort();
    engine.SetOwnAddress("127.0.0.1");
    ScreenState screen(engine);
    EXPECT_EQ(screen.StatusPanel(3), "");
    engine.MainWindowLoad();
    EXPECT_EQ(screen.StatusPanel(3), "  Version 1.0");

    engine.StartChannels();
    EXPECT_EQ(screen.StatusPanel(2), "Listening on slot  1");
    // A window made later shows the listening slot too.
    EXPECT_EQ(ScreenState(engine).StatusPanel(2), "Listening on slot  1");

    // "Connecting to" stays until the scheduler's next tick.
    emit engine.Connecting("10.0.0.9");
    EXPECT_EQ(screen.StatusPanel(1), "Connecting to 10.0.0.9");
    engine.QueueTick();
    EXPECT_EQ(screen.StatusPanel(1), "");

    // A port held by another program: nothing is said to listen.
    QTcpServer holder;
    ASSERT_TRUE(holder.listen(QHostAddress::Any, 0));
    engine.Prefs.ListenPort = holder.serverPort();
    engine.QueueTick();
    EXPECT_EQ(engine.ListeningPort(), 0);
    EXPECT_EQ(screen.StatusPanel(2), "");
    // Once the port is free again the slot that kept listening is shown again.
    holder.close();
    engine.QueueTick();
    EXPECT_EQ(engine.ListeningPort(), engine.Prefs.ListenPort);
    EXPECT_EQ(screen.StatusPanel(2), "Listening on slot  1");

    // The shutdown empties the first two panels; the version stays.
    emit engine.Connecting("10.0.0.9");
    engine.BeginShutdown();
    EXPECT_EQ(screen.StatusPanel(1), "");
    EXPECT_EQ(screen.StatusPanel(2), "");
    EXPECT_EQ(screen.StatusPanel(3), "  Version 1.0");
}
