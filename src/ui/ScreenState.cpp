// The window layer's state of the engine's slots and activity pictures.
#include "ui/ScreenState.h"

#include "transfer/Engine.h"

#include <algorithm>

ScreenState::ScreenState(Engine &engine, QObject *parent) : QObject(parent), engine_(engine)
{
    for (int i = 0; i < ChannelCount; ++i) {
        receive_[static_cast<size_t>(i)] = engine.Snapshot('I', i);
        send_[static_cast<size_t>(i)] = engine.Snapshot('O', i);
    }
    picTimer_.setInterval(engine.Intervals().PicTimer);
    connect(&picTimer_, &QTimer::timeout, this, &ScreenState::PicTick);
    connect(&engine, &Engine::SlotUpdated, this, &ScreenState::OnSlotUpdated);
    connect(&engine, &Engine::SlotProgressed, this, &ScreenState::OnSlotProgressed);
    connect(&engine, &Engine::ReceiveChannelChanged, this, [this](int index) { OnLetterChanged('I', index); });
    connect(&engine, &Engine::SendChannelChanged, this, [this](int index) { OnLetterChanged('O', index); });
    connect(&engine, &Engine::Ticked, this, &ScreenState::Tick);
    connect(&engine, &Engine::CommunicationsStarted, this, [this] {
        if (!picTimer_.isActive())
            picTimer_.start();
    });
    connect(&engine, &Engine::ShutdownBegun, &picTimer_, &QTimer::stop);
    if (engine.TimersRunning())
        picTimer_.start();
    Refresh();

    // The panels as the engine stands now (a window made after the load step or while a slot
    // listens), then as it announces.
    auto showVersion = [this] {
        SetStatusPanel(3, engine_.VersionText.isEmpty() ? QByteArray() : QByteArray("  ") + engine_.VersionText);
    };
    showVersion();
    if (!engine.ShuttingDown)
        for (int i = 0; i < ChannelCount; ++i)
            if (engine.Receivers()[static_cast<size_t>(i)].Letter == ReceiveLetter::Listening)
                SetStatusPanel(2, ListeningText(i));
    connect(&engine, &Engine::Loaded, this, showVersion);
    connect(&engine, &Engine::Connecting, this,
            [this](const QByteArray &host) { SetStatusPanel(1, "Connecting to " + host); });
    connect(&engine, &Engine::ListeningOn, this, [this](int index) { SetStatusPanel(2, ListeningText(index)); });
    connect(&engine, &Engine::ListenFailed, this, [this] { SetStatusPanel(2, {}); });
    // A passing text stays until the scheduler's next tick.
    connect(&engine, &Engine::Ticked, this, [this] { SetStatusPanel(1, {}); });
    connect(&engine, &Engine::ShutdownBegun, this, [this] {
        SetStatusPanel(1, {});
        SetStatusPanel(2, {});
    });
}

QByteArray ScreenState::StatusPanel(int panel) const
{
    return panel >= 1 && panel <= 3 ? panels_[static_cast<size_t>(panel - 1)] : QByteArray();
}

void ScreenState::SetStatusPanel(int panel, const QByteArray &text)
{
    if (panel < 1 || panel > 3 || panels_[static_cast<size_t>(panel - 1)] == text)
        return;
    panels_[static_cast<size_t>(panel - 1)] = text;
    emit StatusPanelChanged(panel, text);
}

SlotSnapshot &ScreenState::Stored(char direction, int number)
{
    const size_t i = static_cast<size_t>(std::clamp(number, 1, ChannelCount) - 1);
    return direction == 'I' ? receive_[i] : send_[i];
}

SlotSnapshot ScreenState::ShownSnapshot() const
{
    const size_t i = static_cast<size_t>(std::clamp(shownNumber_, 1, ChannelCount) - 1);
    SlotSnapshot snap = shownDir_ == 'I' ? receive_[i] : send_[i];
    // The frame names the channel as it was asked for.
    snap.direction = shownDir_;
    snap.number = shownNumber_;
    return snap;
}

bool ScreenState::IsShown(const SlotSnapshot &slot) const
{
    return (slot.direction == 'I') == (shownDir_ == 'I') && slot.number == std::clamp(shownNumber_, 1, ChannelCount);
}

void ScreenState::ShowChannel(char direction, int number)
{
    shownDir_ = direction;
    shownNumber_ = number;
    // The channel asked for is shown as it stands now.
    const int index = std::clamp(number, 1, ChannelCount) - 1;
    Stored(direction, number) = engine_.Snapshot(direction, index);
    Refresh();
}

void ScreenState::OnSlotUpdated(const SlotSnapshot &slot)
{
    Stored(slot.direction, slot.number) = slot;
    if (IsShown(slot))
        Refresh();
}

void ScreenState::OnLetterChanged(char direction, int index)
{
    // A channel whose picture moves on (a send waiting for its address, a caller connected) is
    // not left described by its old state until the next refresh.
    const SlotSnapshot now = engine_.Snapshot(direction, index);
    if (!IsShown(now))
        return;
    SlotSnapshot &stored = Stored(direction, index + 1);
    const bool moved = direction == 'I' ? stored.receiveLetter != now.receiveLetter || stored.receiveState != now.receiveState
                                        : stored.sendLetter != now.sendLetter;
    if (!moved)
        return;
    stored = now;
    Refresh();
}

void ScreenState::OnSlotProgressed(const SlotSnapshot &slot)
{
    Stored(slot.direction, slot.number) = slot;
    // The shown channel gets its progress line with the new percent at once; the status line
    // keeps to the refresh of the tick.
    if (!IsShown(slot))
        return;
    const ChannelStatusText text = DescribeChannelStatus(ShownSnapshot());
    if (text.changeProgress && progressLine_ != text.progressLine) {
        progressLine_ = text.progressLine;
        emit ChannelStatusChanged();
    }
}

void ScreenState::Refresh()
{
    const ChannelStatusText text = DescribeChannelStatus(ShownSnapshot());
    bool changed = rate_ != text.rate;
    rate_ = text.rate;
    if (text.changeStatus && statusLine_ != text.statusLine) {
        statusLine_ = text.statusLine;
        changed = true;
    }
    if (text.changeProgress && progressLine_ != text.progressLine) {
        progressLine_ = text.progressLine;
        changed = true;
    }
    if (changed)
        emit ChannelStatusChanged();
}

int ScreenState::ShownPercent() const
{
    // Read at the moment it is asked for: the bar follows the slot's letter at once.
    const SlotSnapshot snap = engine_.Snapshot(shownDir_, std::clamp(shownNumber_, 1, ChannelCount) - 1);
    if (snap.direction == 'I')
        return snap.receiveLetter == ReceiveLetter::Connected && snap.receiveState == ReceiveState::Receiving
                   ? static_cast<int>(snap.percent)
                   : -1;
    return snap.sendLetter == SendLetter::Busy ? static_cast<int>(snap.percent) : -1;
}

void ScreenState::Tick()
{
    ++tickCounter_;
    if (tickCounter_ >= 10) {
        tickCounter_ = 1;
        activityImage_ = 1;
        emit ActivityImageChanged(activityImage_);
    } else if (tickCounter_ == 5) {
        activityImage_ = picFlag_ ? 3 : 2;
        picFlag_ = false;
        emit ActivityImageChanged(activityImage_);
    }
}

void ScreenState::PicTick()
{
    ++animationFrame_;
    if (animationFrame_ > 8 || animationFrame_ < 1)
        animationFrame_ = 1;
    emit AnimationFrameChanged(animationFrame_);
}
