#include "video/frame_writer.h"

#include "lumatap/output.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace lumatap {
namespace {

// The bytes written into standard output that the reader has not taken yet; none when the
// system cannot tell.
std::optional<std::uint64_t> unread() {
    int count = 0;
    if (ioctl(STDOUT_FILENO, FIONREAD, &count) != 0 || count < 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(count);
}

} // namespace

FrameWriter::FrameWriter() {
    struct stat out {};
    // Lending needs to know when the reader is done with a frame; a pipe tells how much of
    // what went in is still unread.
    lending_ = fstat(STDOUT_FILENO, &out) == 0 && S_ISFIFO(out.st_mode) && unread().has_value();
    if (lending_) {
        capacity_ = static_cast<std::size_t>(std::max(fcntl(STDOUT_FILENO, F_GETPIPE_SZ), 0));
    }
    lent_.reserve(8);
}

bool FrameWriter::write(const FrameBytes& frame) {
    release();
    std::size_t size = 0;
    for (std::size_t i = 0; i < frame.count; ++i) {
        size += frame.spans[i].size;
    }
    // Only a frame that fills much of the pipe is lent: a pipe that holds many frames would
    // hold on to more of the stream's buffers than it has, and a small frame is cheap to copy.
    const bool lending = lending_ && size * 2 >= capacity_;
    for (std::size_t i = 0; i < frame.count; ++i) {
        if (!put(frame.spans[i], lending)) {
            return false;
        }
    }
    if (lending) {
        // Repeats of one frame are one entry: a stalled reader does not grow the list.
        if (!lent_.empty() && lent_.back().holder == frame.holder) {
            lent_.back().end = written_;
        } else {
            lent_.push_back({frame.holder, written_});
        }
        release();
    }
    return true;
}

bool FrameWriter::put(const FrameBytes::Span& span, bool lending) {
    const std::uint8_t* data = span.data;
    std::size_t left = span.size;
    while (lending && lending_ && left > 0) {
        iovec part{const_cast<std::uint8_t*>(data), left};
        ssize_t n = vmsplice(STDOUT_FILENO, &part, 1, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EPIPE) {
                return false;
            }
            // Refused for another reason: plain writes from now on. What was lent stays held
            // until the reader has taken it.
            lending_ = false;
            break;
        }
        data += n;
        left -= static_cast<std::size_t>(n);
        written_ += static_cast<std::uint64_t>(n);
    }
    if (left > 0) {
        if (!writeAll(data, left)) {
            return false;
        }
        written_ += left;
    }
    return true;
}

void FrameWriter::release() {
    if (lent_.empty()) {
        return;
    }
    auto waiting = unread();
    if (!waiting) {
        return;
    }
    // Bytes anyone else put into the pipe only make this count smaller: a frame is never let
    // go too soon.
    const std::uint64_t taken = written_ > *waiting ? written_ - *waiting : 0;
    std::size_t done = 0;
    while (done < lent_.size() && lent_[done].end <= taken) {
        ++done;
    }
    lent_.erase(lent_.begin(), lent_.begin() + static_cast<std::ptrdiff_t>(done));
}

} // namespace lumatap
