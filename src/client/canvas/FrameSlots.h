// The meeting point of the threads that produce a screen's frames and the
// GUI thread that draws them: two frame slots, each guarded by its own lock
// of the canvas, and the index of the slot the next present writes. A
// present stores the newest frame and flips the index, so that the painter
// can draw the previous newest frame from the other slot at the same time;
// replaced frames go straight back to the allocator that made them. A
// new-frame flag, polled by the GUI thread, asks for one repaint however many
// frames arrived.
#pragma once

#include "OwnerLock.h"

#include <atomic>
#include <cstdint>
#include <mutex>

namespace qor {
class VideoFrame;
}

class FrameSlots {
public:
    // The two locks guard slot 0 and slot 1 (the canvas's slot locks).
    explicit FrameSlots(OwnerLock (&slotLocks)[2]) : slotLocks(slotLocks) {}
    FrameSlots(const FrameSlots&) = delete;
    FrameSlots& operator=(const FrameSlots&) = delete;

    // Takes over the frame (any presenting thread). A frame whose planes the
    // painter cannot read as they lie is copied into a pooled frame first.
    void present(qor::VideoFrame* frame);
    // Empties both slots, one lock at a time; the index stays.
    void release();
    // Lowers the new-frame flag; true when it was raised.
    bool takeNewFrame() { return newFrame.exchange(false); }
    // Forgets the size of the last frame (the screen was cleared).
    void forgetSize();

    // The painter's hold on the newest frame: the slot the next present does
    // not write, locked while the hold lives. `frame` is null when the slot
    // is empty; `serial` tells frames apart (a pooled frame comes back at the
    // same address with another picture).
    class Newest {
        const int slot;

    public:
        explicit Newest(FrameSlots& owner);
        Newest(const Newest&) = delete;
        Newest& operator=(const Newest&) = delete;

        qor::VideoFrame* frame = nullptr;
        std::uint64_t serial = 0;

    private:
        ScopedOwnerLock guard;
    };

    // Peeks at a slot without its lock (tests and diagnostics).
    qor::VideoFrame* frameIn(int slot) const { return frameSlots[slot]; }
    int nextWriteSlot() const { return writeIndex.load(); }
    int presented() const { return presentedCount.load(); }
    int width() const { return frameWidth.load(); }
    int height() const { return frameHeight.load(); }

private:
    OwnerLock (&slotLocks)[2];
    qor::VideoFrame* frameSlots[2] = {nullptr, nullptr};
    std::uint64_t serials[2] = {0, 0};
    std::uint64_t lastSerial = 0;
    std::atomic<int> writeIndex{0};
    std::atomic<int> presentedCount{0};
    std::atomic<int> frameWidth{0};
    std::atomic<int> frameHeight{0};
    std::atomic<bool> newFrame{false};
    // Serialises presents of one canvas (decoder and conversion thread).
    std::mutex presentLock;
};
