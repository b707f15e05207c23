// Bytes that another thread hands over: the feeder (a caller's thread that
// alone may call the caller's stream) fills the buffers that the source lends
// it, while the reader's thread takes the bytes as a ByteSource. A few
// buffers of a fixed size circulate, so the bytes in flight stay bounded
// however fast either side runs. Bytes handed over and not yet taken stay
// for the next job, so that a reader may stop after some steps and go on in
// a later call with a new job.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "reader/byte_source.hpp"

namespace reader {

class FedSource final : public ByteSource {
public:
    static constexpr std::size_t default_buffers = 4;
    static constexpr std::size_t default_buffer_size = std::size_t{1} << 20;

    explicit FedSource(std::size_t buffers = default_buffers, std::size_t buffer_size = default_buffer_size);

    // The feeder's side. A new job begins: the reader will take bytes again.
    void begin_job();
    // A buffer to fill, once one is free and the job wants bytes; empty when
    // the wait timed out, or (done set) when the job has ended or the bytes
    // have ended.
    std::span<char> wait_for_room(std::chrono::milliseconds timeout, bool& done);
    // The buffer from wait_for_room now holds this many bytes; 0 ends the
    // bytes for good.
    void hand_over(std::size_t bytes);
    // Where the feeder could not go on (its stream raised): the reader's next
    // read throws CallerException.
    void give_up();
    // The feeder's wait, for a job that has ended, is over.
    void end_job();

    // The reader's side.
    ReadResult read(std::span<char> buffer) override;

private:
    struct Filled {
        std::unique_ptr<char[]> buffer;
        std::size_t size;
        std::size_t taken;
    };

    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t buffer_size_;
    std::vector<std::unique_ptr<char[]>> free_;
    std::deque<Filled> filled_;
    std::unique_ptr<char[]> lent_;
    std::size_t unmade_;  // buffers not made yet
    bool ended_ = false;
    bool given_up_ = false;
    bool job_done_ = true;
};

}  // namespace reader
