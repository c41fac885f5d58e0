// What the main window shows of the engine's slots and activity, kept by the window layer: which
// channel the "Channel Status" frame shows and its status, progress and rate lines (rendered from
// the engine's slot snapshots), the status bar's panel texts (from what the engine announces),
// the logo's activity image (moved on by the scheduler's tick), the channel animation's frame
// (its own timer, running while communications run) and the about box's one-shot picture flag.
// A run without a window has none of it.
#pragma once

#include "transfer/ChannelStatus.h"
#include "transfer/SlotStates.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>
#include <array>

class Engine;

class ScreenState : public QObject {
    Q_OBJECT
public:
    explicit ScreenState(Engine &engine, QObject *parent = nullptr);

    // The channel the status frame shows: direction 'I' or 'O', number 1 to 4.
    void ShowChannel(char direction, int number);
    char ShownDirection() const { return shownDir_; }
    int ShownChannel() const { return shownNumber_; }
    QByteArray StatusLine() const { return statusLine_; }
    QByteArray ProgressLine() const { return progressLine_; }
    QByteArray RateText() const { return rate_; }
    // The shown channel's percent while it transfers a file; -1 otherwise.
    int ShownPercent() const;

    // The status bar's panels, 1 to 3: 1 a passing text ("Connecting to " and the host, until
    // the scheduler's next tick or a mouse move over the window's background), 2 the receive
    // slot that listens, 3 two blanks and the version text. The shutdown empties 1 and 2.
    QByteArray StatusPanel(int panel) const;
    void ClearStatusPanel(int panel) { SetStatusPanel(panel, {}); }

    int ActivityImage() const { return activityImage_; }
    int AnimationFrame() const { return animationFrame_; }
    bool AnimationRunning() const { return picTimer_.isActive(); }
    // The about box's code word: the activity picture shows its one-shot image at its next turn.
    void RaisePictureFlag() { picFlag_ = true; }
    bool PictureFlag() const { return picFlag_; }

    // The scheduler's tick: the activity image moves on. The engine's Ticked calls it.
    void Tick();
    // One step of the channel animation. Its timer calls it.
    void PicTick();

signals:
    void ChannelStatusChanged();
    void StatusPanelChanged(int panel, const QByteArray &text);
    void ActivityImageChanged(int image);
    void AnimationFrameChanged(int frame);

private:
    void OnSlotUpdated(const SlotSnapshot &slot);
    void OnSlotProgressed(const SlotSnapshot &slot);
    void OnLetterChanged(char direction, int index);
    SlotSnapshot &Stored(char direction, int number);
    SlotSnapshot ShownSnapshot() const;
    bool IsShown(const SlotSnapshot &slot) const;
    void Refresh();
    void SetStatusPanel(int panel, const QByteArray &text);

    std::array<SlotSnapshot, ChannelCount> receive_{}, send_{};
    char shownDir_ = 'O';
    int shownNumber_ = 1;
    QByteArray statusLine_, progressLine_, rate_;
    std::array<QByteArray, 3> panels_;
    int tickCounter_ = 0;
    int activityImage_ = 1;
    int animationFrame_ = 1;
    bool picFlag_ = false;
    QTimer picTimer_;
    const Engine &engine_;
};
