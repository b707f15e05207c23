#include "reader/fed_source.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "reader/interrupt.hpp"

namespace reader {

FedSource::FedSource(std::size_t buffers, std::size_t buffer_size) : buffer_size_(buffer_size), unmade_(buffers) {}

void FedSource::begin_job() {
    const std::lock_guard lock(mutex_);
    job_done_ = false;
}

std::span<char> FedSource::wait_for_room(std::chrono::milliseconds timeout, bool& done) {
    std::unique_lock lock(mutex_);
    const auto ready = [&] { return job_done_ || (!ended_ && !given_up_ && (!free_.empty() || unmade_ > 0)); };
    if (!changed_.wait_for(lock, timeout, ready)) {
        done = false;
        return {};
    }
    done = job_done_;
    if (done) return {};
    if (free_.empty()) {
        // Made when first needed, and not cleared: a short stream costs one.
        free_.emplace_back(new char[buffer_size_]);
        --unmade_;
    }
    lent_ = std::move(free_.back());
    free_.pop_back();
    return {lent_.get(), buffer_size_};
}

void FedSource::hand_over(std::size_t bytes) {
    {
        const std::lock_guard lock(mutex_);
        if (bytes == 0) {
            ended_ = true;
            free_.push_back(std::move(lent_));
        } else {
            filled_.push_back({std::move(lent_), std::min(bytes, buffer_size_), 0});
        }
    }
    changed_.notify_all();
}

void FedSource::give_up() {
    {
        const std::lock_guard lock(mutex_);
        given_up_ = true;
        if (lent_) free_.push_back(std::move(lent_));
    }
    changed_.notify_all();
}

void FedSource::end_job() {
    {
        const std::lock_guard lock(mutex_);
        job_done_ = true;
    }
    changed_.notify_all();
}

ReadResult FedSource::read(std::span<char> buffer) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return given_up_ || ended_ || !filled_.empty(); });
    if (given_up_) throw CallerException{};
    if (filled_.empty()) return {0, {}};
    Filled& front = filled_.front();
    const std::size_t n = std::min(buffer.size(), front.size - front.taken);
    std::memcpy(buffer.data(), front.buffer.get() + front.taken, n);
    front.taken += n;
    if (front.taken == front.size) {
        free_.push_back(std::move(front.buffer));
        filled_.pop_front();
        lock.unlock();
        changed_.notify_all();
    }
    return {n, {}};
}

}  // namespace reader
