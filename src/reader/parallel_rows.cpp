#include "reader/parallel_rows.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
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
    std::optional<ReaderFailure> failure;
    bool out_of_memory = false;
    // Where the part's reading ended: the next step, and its offset.
    std::uint64_t next_step = 0;
    std::uint64_t next_offset = 0;
    bool finished = false;
};

void read_part(Part& part, const PlotStream& header, FileSource& file, StreamOptions options) {
    try {
        FileFrom bytes(file, part.offset);
        PlotStream stream(bytes, options, header, part.offset, part.first_step, part.first_line);
        part.rows = stream.read(0, part.stop_step);
        part.next_step = stream.next_step();
        part.next_offset = stream.resume_offset();
        part.finished = stream.finished();
    } catch (ReaderFailure& failure) {
        part.failure.emplace(std::move(failure));
    } catch (const std::bad_alloc&) {
        part.out_of_memory = true;
    }
}

// rows with more's rows after them.
void append(PlotRows& rows, const PlotRows& more) {
    const std::size_t steps = more.times.size();
    std::memcpy(rows.times.extend(steps), more.times.data(), steps * sizeof(double));
    rows.times.commit(steps);
    const std::size_t values = more.values.size();
    std::memcpy(rows.values.extend(values), more.values.data(), values * sizeof(float));
    rows.values.commit(values);
    const std::size_t numbers = more.steps.size();
    std::memcpy(rows.steps.extend(numbers), more.steps.data(), numbers * sizeof(std::int64_t));
    rows.steps.commit(numbers);
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

}  // namespace

PlotRows read_plot_rows_threaded(std::string_view path, const RowsOptions& options, unsigned threads,
                                 const InterruptCheck& poll) {
    int fd = -1;
    if (const IoError error = open_read_only(path, fd, options.on_interrupt)) driver::fail_open(error);
    FileSource file(fd, options.on_interrupt);
    RefuseCompressed text(file);
    const StreamOptions base = stream_options(options);
    PlotStream stream(text, base);
    stream.select(options.selection);
    const std::uint64_t size = file.size_hint();
    if (threads < 2 || size < min_threaded_bytes) return with_names(stream.read(0), stream, options.selection);

    // The first step tells the width and a step's size.
    PlotRows rows = stream.read(0, 1);
    const std::uint64_t data_start = stream.resume_offset();
    if (stream.finished() || stream.next_step() != 1 || data_start >= size) {
        append(rows, stream.read(0));
        return with_names(std::move(rows), stream, options.selection);
    }
    const std::uint64_t step_bytes = data_start - stream.header_bytes();
    const std::uint64_t steps_left = (size - data_start) / step_bytes;
    const std::uint64_t lines = driver::lines_per_step(stream.count());
    std::vector<Part> parts(threads);
    for (unsigned i = 0; i < threads; ++i) {
        const std::uint64_t skipped = steps_left * i / threads;
        parts[i].offset = data_start + skipped * step_bytes;
        parts[i].first_step = 1 + skipped;
        parts[i].first_line = stream.resume_line() + skipped * lines;
        parts[i].stop_step = i + 1 < threads ? 1 + steps_left * (i + 1) / threads : std::uint64_t(-1);
    }

    std::atomic<bool> stop{false};
    StreamOptions options_of_parts = base;
    options_of_parts.width = stream.width();
    options_of_parts.stop = &stop;
    std::vector<std::unique_ptr<FileSource>> files(threads);
    for (auto& part_file : files) {
        IoError error;
        part_file = file.another(error);
        if (!part_file) {
            ReaderFailure failure(with_description("Failed to read line!", describe(error)));
            failure.kind = FailureKind::read;
            failure.os_error = error.code;
            throw failure;
        }
    }
    std::mutex mutex;
    std::condition_variable done;
    unsigned running = threads;
    std::vector<std::thread> workers;
    workers.reserve(threads);
    auto finish = [&] {
        std::lock_guard lock(mutex);
        --running;
        done.notify_one();
    };
    std::vector<unsigned> unstarted;
    for (unsigned i = 0; i < threads; ++i) {
        try {
            workers.emplace_back([&, i] {
                read_part(parts[i], stream, *files[i], options_of_parts);
                finish();
            });
        } catch (const std::system_error&) {
            // The system has no thread to spare: this thread reads the part, once the others are done.
            unstarted.push_back(i);
            finish();
        }
    }
    bool interrupted = false;
    {
        std::unique_lock lock(mutex);
        while (running != 0) {
            if (done.wait_for(lock, std::chrono::milliseconds(50), [&] { return running == 0; })) break;
            lock.unlock();
            if (!interrupted && poll.should_stop()) {
                interrupted = true;
                stop.store(true);
            }
            lock.lock();
        }
    }
    for (std::thread& worker : workers) worker.join();
    if (interrupted) throw CallerException{};
    for (const unsigned i : unstarted) read_part(parts[i], stream, *files[i], options_of_parts);

    // In file order: a part counts only where the one before it ended at its start.
    for (unsigned i = 0; i < threads; ++i) {
        Part& part = parts[i];
        if (part.out_of_memory) throw std::bad_alloc();
        if (part.failure) throw std::move(*part.failure);
        append(rows, *part.rows);
        // Ended before its stop: the file ended there (or the selection did).
        if (i + 1 == threads || part.next_step != part.stop_step) break;
        if (part.next_offset == parts[i + 1].offset) continue;
        // Steps of another size than the first's: the guess did not hold.
        // The part read from a start that held, so its steps are right;
        // the rest is read on this thread from where it ended.
        FileFrom bytes(file, part.next_offset);
        PlotStream rest(bytes, options_of_parts, stream, part.next_offset, part.next_step,
                        part.first_line + (part.next_step - part.first_step) * lines);
        append(rows, rest.read(0));
        break;
    }
    return with_names(std::move(rows), stream, options.selection);
}

}  // namespace reader
