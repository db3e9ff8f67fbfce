// A decoded picture as it travels from a stream decoder to the canvas: up to
// three planes, a size, the bytes of each plane's lines and a colour-format
// code. A frame has one holder at a time and goes back to the allocator that
// made it through qor::releaseVideoFrame.
#pragma once

#include <cstdint>

namespace qor {

class VideoFrameAllocator;

class VideoFrame {
public:
    virtual ~VideoFrame() = default;

    virtual std::uint8_t* plane(int index) const = 0;
    virtual int width() const = 0;
    virtual int height() const = 0;
    // Bytes from the start of one line of the plane to the start of the next.
    virtual int lineSize(int index) const = 0;
    virtual int colorFormat() const = 0;
    // Image rows that one line of the plane covers.
    virtual int rowsPerLine(int index) const;
    // Bytes of one line that belong to the picture (0 for an unused plane).
    // Frames whose colour code has no layout of its own override it.
    virtual int planeRowBytes(int index) const;

    // Lines of the plane: ceil(height / rowsPerLine).
    int planeLines(int index) const;

    // True when the canvas can draw the planes as they are: tight lines of
    // RGB24, GBRP, YUV420p (chroma of ceil(w / 2) x ceil(h / 2)) or NV12.
    bool hasCanonicalLayout() const;

    VideoFrameAllocator* allocator = nullptr;
    // Link of a pooling allocator's free list; null while the frame is held.
    VideoFrame* nextFree = nullptr;
};

class VideoFrameAllocator {
public:
    virtual ~VideoFrameAllocator() = default;
    // A fresh frame of the allocator's kind, not taken from a pool.
    virtual VideoFrame* newFrame(int colorFormat) = 0;
    // Takes the frame back and sets the caller's pointer to null.
    virtual void release(VideoFrame** frame) = 0;
    // A frame of that format and size with planes large enough for it, or
    // null when the memory cannot be had.
    virtual VideoFrame* allocate(int colorFormat, int width, int height) = 0;
};

// The largest width and height of a picture the client takes from a
// server's announcement.
constexpr int MAX_FRAME_DIMENSION = 16384;

// True when a frame of that size can be made in every colour format: width
// and height within 1..MAX_FRAME_DIMENSION and every plane's bytes countable
// in an int.
bool frameSizeFits(int width, int height);

// Gives the frame back to the allocator that made it and nulls the pointer;
// a null frame pointer is ignored.
void releaseVideoFrame(VideoFrame** frame);

} // namespace qor
