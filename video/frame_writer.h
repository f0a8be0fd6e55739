// Writing frames to standard output. Into a pipe, a large frame's pages are lent to the pipe
// rather than copied into it, and the frame is held until the reader has taken all of it: the
// pipe reads from the frame's own memory, which must not change meanwhile.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace lumatap {

// A frame as it is written: the bytes of the host's layout in order, in up to three spans,
// and whatever keeps them alive and unchanged.
struct FrameBytes {
    struct Span {
        const std::uint8_t* data = nullptr;
        std::size_t size = 0;
    };
    std::shared_ptr<const void> holder;
    std::array<Span, 3> spans{};
    std::size_t count = 0;
};

class FrameWriter {
  public:
    FrameWriter();
    // Writes every byte of `frame`; false when a write failed (the reader has gone).
    bool write(const FrameBytes& frame);

  private:
    // Puts the span into standard output, lent when `lending` and the pipe allows it.
    bool put(const FrameBytes::Span& span, bool lending);
    // Lets go of the frames whose every byte the reader has taken.
    void release();

    struct Lent {
        std::shared_ptr<const void> holder;
        std::uint64_t end = 0; // the count of bytes written once this frame was
    };
    bool lending_ = false;
    std::size_t capacity_ = 0;
    std::uint64_t written_ = 0;
    std::vector<Lent> lent_;
};

} // namespace lumatap
