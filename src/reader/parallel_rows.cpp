#include "reader/parallel_rows.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "reader/compression.hpp"
#include "reader/file_source.hpp"
#include "reader/plot_driver.hpp"
#include "reader/plot_stream.hpp"

namespace reader {

namespace {

// A ByteSource of a file from an offset on, by pread.
class FileFrom final : public ByteSource {
public:
    FileFrom(FileSource& file, std::uint64_t offset) : file_(file), offset_(offset) {}
    ReadResult read(std::span<char> buffer) override {
        const ReadResult result = file_.read_at(offset_, buffer);
        offset_ += result.bytes;
        return result;
    }
    std::uint64_t size_hint() const noexcept override { return file_.size_hint(); }

private:
    FileSource& file_;
    std::uint64_t offset_;
};

// One part of the file: where its guess puts it, and what reading it gave.
struct Part {
    std::uint64_t offset;  // of its first step, in the file
    std::uint64_t first_step;
    std::uint64_t first_line;
    std::uint64_t stop_step;  // the next part's first; -1 for the last part
    std::optional<PlotRows> rows;
    // What it threw (a ReaderFailure, std::bad_alloc, ...), for the caller's
    // thread to throw where the part counts.
    std::exception_ptr failure;
    // Where the part's reading ended: the next step, and its offset.
    std::uint64_t next_step = 0;
    std::uint64_t next_offset = 0;
    bool finished = false;
};

void read_part(Part& part, const PlotStream& header, FileSource& file, StreamOptions options, const RowTarget* target) {
    try {
        FileFrom bytes(file, part.offset);
        PlotStream stream(bytes, options, header, part.offset, part.first_step, part.first_line);
        part.rows = stream.read(0, part.stop_step, target);
        part.next_step = stream.next_step();
        part.next_offset = stream.resume_offset();
        part.finished = stream.finished();
    } catch (...) {
        part.failure = std::current_exception();
    }
}

// rows with more's rows after them.
template <class T>
void append(MappedArray<T>& array, const MappedArray<T>& more) {
    if (more.size() == 0) return;  // an empty array may have no memory at all
    std::memcpy(array.extend(more.size()), more.data(), more.size() * sizeof(T));
    array.commit(more.size());
}

void append(PlotRows& rows, const PlotRows& more) {
    append(rows.times, more.times);
    append(rows.values, more.values);
    append(rows.steps, more.steps);
    rows.complete = more.complete;
    rows.stopped = more.stopped;
}

StreamOptions stream_options(const RowsOptions& options) {
    StreamOptions stream;
    if (!options.detect_width) stream.width = options.width;
    stream.keep_incomplete = options.keep_incomplete;
    stream.buffer_size = options.buffer_size;
    return stream;
}

PlotRows with_names(PlotRows rows, PlotStream& stream, const Selection& selection) {
    rows.names = stream.take_names();
    if (const auto& kept = selection.parameters) {
        std::vector<std::string> names;
        names.reserve(kept->size());
        for (const std::uint32_t parameter : *kept) names.push_back(std::move(rows.names[parameter]));
        rows.names = std::move(names);
    }
    return rows;
}

// The other threads, each reading its part; stopped and joined however the
// read ends, so that none is left running.
class Workers {
public:
    Workers(std::vector<Part>& parts, const PlotStream& header, const FileSource& file, const StreamOptions& options,
            const RowTarget* target)
        : parts_(parts), header_(header), options_(options), target_(target) {
        options_.stop = &stop_;
        files_.resize(parts.size());
        for (std::size_t i = 1; i < parts.size(); ++i) {
            IoError error;
            files_[i] = file.another(error);
            if (!files_[i]) {
                ReaderFailure failure(with_description("Failed to read line!", describe(error)));
                failure.kind = FailureKind::read;
                failure.os_error = error.code;
                throw failure;
            }
        }
        threads_.reserve(parts.size());
        for (std::size_t i = 1; i < parts.size(); ++i) {
            try {
                threads_.emplace_back([this, i] {
                    read_part(parts_[i], header_, *files_[i], options_, target_);
                    std::lock_guard lock(mutex_);
                    ++done_;
                    finished_.notify_one();
                });
            } catch (const std::system_error&) {
                // No thread to spare: the caller's thread reads the part after its own.
                unstarted_.push_back(i);
            }
        }
    }
    Workers(const Workers&) = delete;
    Workers& operator=(const Workers&) = delete;
    ~Workers() { stop_and_join(); }

    // Waits for the others in slices, asking poll between them; false where poll said stop.
    bool wait(const InterruptCheck& poll) {
        std::unique_lock lock(mutex_);
        while (!finished_.wait_for(lock, std::chrono::milliseconds(50), [&] { return done_ == threads_.size(); })) {
            lock.unlock();
            if (poll.should_stop()) return false;
            lock.lock();
        }
        lock.unlock();
        for (const std::size_t i : unstarted_) {
            read_part(parts_[i], header_, *files_[i], options_, target_);
            if (poll.should_stop()) return false;
        }
        return true;
    }

    void stop_and_join() noexcept {
        stop_.store(true);
        for (std::thread& thread : threads_)
            if (thread.joinable()) thread.join();
    }

private:
    std::vector<Part>& parts_;
    const PlotStream& header_;
    StreamOptions options_;
    const RowTarget* target_;
    std::atomic<bool> stop_{false};
    std::vector<std::unique_ptr<FileSource>> files_;
    std::vector<std::thread> threads_;
    std::vector<std::size_t> unstarted_;
    std::mutex mutex_;
    std::condition_variable finished_;
    std::size_t done_ = 0;
};

// The steps a caller's thread reads at once before it asks poll again.
constexpr std::uint64_t steps_between_polls = 1024;

// The fewest bytes that a step of a full read can take: its block-start
// line's line feed, and each data line's fields and line feed.
std::uint64_t least_step_bytes(std::uint32_t count, std::uint32_t width) {
    return 1 + std::uint64_t{count} * width + (std::uint64_t{count} + 9) / 10;
}

// The rest of stream's file, which has read the header and nothing else, on
// up to threads threads, the caller's among them. A full read (nothing
// selected) writes every part's rows in place, into one result sized for
// the most steps that the file's bytes can hold; a selection's parts keep
// rows of their own, put together at the end.
PlotRows read_rest(FileSource& file, PlotStream& stream, const StreamOptions& base, unsigned threads,
                   const InterruptCheck& poll) {
    const std::uint64_t size = file.size_hint();
    if (threads < 2 || size < min_threaded_bytes) return stream.read(0);

    // The first step tells the width and a step's size.
    PlotRows rows = stream.read(0, 1);
    const std::uint64_t data_start = stream.resume_offset();
    const std::uint64_t step_bytes = data_start - stream.header_bytes();
    if (stream.finished() || stream.next_step() != 1 || data_start >= size || step_bytes == 0) {
        append(rows, stream.read(0));
        return rows;
    }
    const std::uint32_t count = stream.count();
    const std::uint64_t steps_left = (size - data_start) / step_bytes;
    const std::uint64_t lines = driver::lines_per_step(count);
    std::vector<Part> parts(std::min<std::uint64_t>(threads, std::max<std::uint64_t>(steps_left, 1)));
    const std::size_t n_parts = parts.size();
    for (std::size_t i = 0; i < n_parts; ++i) {
        const std::uint64_t skipped = steps_left * i / n_parts;
        parts[i].offset = data_start + skipped * step_bytes;
        parts[i].first_step = 1 + skipped;
        parts[i].first_line = stream.resume_line() + skipped * lines;
        parts[i].stop_step = i + 1 < n_parts ? 1 + steps_left * (i + 1) / n_parts : std::uint64_t(-1);
    }
    StreamOptions options = base;
    options.width = stream.width();

    const bool in_place = !stream.selection().parameters && !stream.selection().selects_steps();
    RowTarget target{};
    std::uint64_t capacity = 0;
    if (in_place) {
        // The last part stops there: a file that grew past it is read on
        // from there on this thread.
        capacity = 1 + (size - data_start) / least_step_bytes(count, *stream.width()) + 1;
        parts.back().stop_step = capacity;
        target.values = rows.values.slot(0, capacity * count);
        target.times = rows.times.slot(0, capacity);
    }
    const RowTarget* into = in_place ? &target : nullptr;
    Workers workers(parts, stream, file, options, into);

    // The first part is this thread's, read from the stream itself, a slice at a time.
    Part& own = parts[0];
    while (stream.next_step() < own.stop_step && !stream.finished()) {
        const std::uint64_t until = std::min(own.stop_step, stream.next_step() + steps_between_polls);
        PlotRows slice = stream.read(0, until, into);
        if (!in_place) append(rows, slice);
        rows.complete = slice.complete;
        rows.stopped = slice.stopped;
        if (stream.next_step() != until && !stream.finished()) break;
        if (poll.should_stop()) throw CallerException{};
    }
    own.next_step = stream.next_step();
    own.next_offset = stream.resume_offset();
    if (!workers.wait(poll)) throw CallerException{};
    workers.stop_and_join();

    // In file order: a part counts only where the one before it ended at its start.
    std::uint64_t steps = 1;
    bool tail = false;
    std::uint64_t tail_offset = 0, tail_step = 0, tail_line = 0;
    for (std::size_t i = 0; i < n_parts; ++i) {
        Part& part = parts[i];
        if (i > 0) {
            if (part.failure) std::rethrow_exception(part.failure);
            if (!in_place) append(rows, *part.rows);
            rows.complete = part.rows->complete;
            rows.stopped = part.rows->stopped;
        }
        steps = part.next_step;
        const bool last = i + 1 == n_parts;
        // Ended before its stop: the file ended there (or the selection did).
        if (part.next_step != part.stop_step) break;
        if (!last && part.next_offset == parts[i + 1].offset) continue;
        // Steps of another size than the first's, or a file that grew past
        // what its size allowed: the guess did not hold. The part read from
        // a start that held, so its steps are right; the rest is read on
        // this thread from where it ended.
        if (!last || (in_place && !part.finished)) {
            tail = true;
            tail_offset = part.next_offset;
            tail_step = part.next_step;
            tail_line = part.first_line + (part.next_step - part.first_step) * lines;
        }
        break;
    }
    if (in_place) {
        rows.times.commit_to(steps);
        rows.values.commit_to(steps * count);
    }
    if (tail) {
        FileFrom bytes(file, tail_offset);
        PlotStream rest(bytes, options, stream, tail_offset, tail_step, tail_line);
        append(rows, rest.read(0));
    }
    rows.count = count;
    rows.width = *stream.width();
    return rows;
}

}  // namespace

PlotRows read_rest_threaded(FileSource& file, PlotStream& stream, const StreamOptions& options, unsigned threads,
                            const InterruptCheck& poll) {
    return read_rest(file, stream, options, threads, poll);
}

PlotRows read_plot_rows_threaded(std::string_view path, const RowsOptions& options, unsigned threads,
                                 const InterruptCheck& poll) {
    int fd = -1;
    if (const IoError error = open_read_only(path, fd, options.on_interrupt)) driver::fail_open(error);
    FileSource file(fd, options.on_interrupt);
    RefuseCompressed text(file);
    const StreamOptions base = stream_options(options);
    PlotStream stream(text, base);
    stream.select(options.selection);
    return with_names(read_rest(file, stream, base, threads, poll), stream, options.selection);
}

}  // namespace reader
