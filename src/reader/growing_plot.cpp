#include "reader/growing_plot.hpp"

#include <algorithm>

#include "reader/failure.hpp"
#include "reader/plot_driver.hpp"

namespace reader {

namespace {

int opened(std::string_view path, const InterruptCheck& on_interrupt) {
    int fd = -1;
    if (const IoError error = open_read_only(path, fd, on_interrupt)) driver::fail_open(error);
    return fd;
}

StreamOptions growing(StreamOptions options) {
    options.growing = true;
    return options;
}

// The end of the last step read that is compared: its last bytes, which
// hold its last values, are what a rewrite would change.
constexpr std::uint64_t compared_step_bytes = 64 * 1024;

}  // namespace

GrowingPlot::GrowingPlot(std::string_view path, const StreamOptions& options, const InterruptCheck& on_interrupt)
    : path_(path),
      on_interrupt_(on_interrupt),
      file_(opened(path, on_interrupt), on_interrupt),
      identity_(file_.identity().value_or(FileIdentity{})),
      stream_(text_, growing(options)) {
    header_ = bytes_at(0, stream_.header_bytes());
}

std::string GrowingPlot::bytes_at(std::uint64_t offset, std::uint64_t size) {
    std::string bytes(static_cast<std::size_t>(size), '\0');
    const ReadResult read = file_.read_at(offset, bytes);
    if (read.error) {
        ReaderFailure failure(with_description("Failed to read line!", describe(read.error)));
        failure.kind = FailureKind::read;
        failure.os_error = read.error.code;
        throw failure;
    }
    bytes.resize(read.bytes);
    return bytes;
}

void GrowingPlot::fail_changed(const std::string& what) const {
    const std::uint64_t steps = stream_.next_step();
    std::string plain = steps == 0 ? "the file changed after its header was read: "
                                   : "the file changed after step " + std::to_string(steps - 1) +
                                         " (counting from 0), the last one read: ";
    plain += what;
    plain += "; open it again to read it from the start";
    ReaderFailure failure(plain);
    failure.line = stream_.resume_line() - 1;
    failure.problem = Problem::changed;
    failure.plain = std::move(plain);
    throw failure;
}

void GrowingPlot::check_unchanged() {
    const std::optional<FileIdentity> named = identity_of_path(path_);
    if (!named) fail_changed("no file has its path now");
    if (!named->same_file(identity_)) fail_changed("its path names another file now, which replaced it");
    const std::optional<FileIdentity> open = file_.identity();
    const std::uint64_t seen = stream_.bytes_seen();
    if (open && open->size < seen)
        fail_changed("it is " + std::to_string(open->size) + " bytes long, shorter than the " + std::to_string(seen) +
                     " bytes read");
    if (bytes_at(0, header_.size()) != header_) fail_changed("its header is not the one read");
    if (!last_step_.empty() && bytes_at(stream_.resume_offset() - last_step_.size(), last_step_.size()) != last_step_)
        fail_changed("its bytes at the last step read are not the ones read");
}

PlotRows GrowingPlot::read(std::uint64_t max_steps) {
    // Past the last step selected, the file is not looked at again.
    if (stream_.finished()) return stream_.read(max_steps);
    check_unchanged();
    if (stream_.needs_resume()) {
        if (const IoError error = file_.seek(stream_.resume_offset())) {
            ReaderFailure failure(with_description("Failed to read line!", describe(error)));
            failure.kind = FailureKind::read;
            failure.os_error = error.code;
            throw failure;
        }
        stream_.resume(file_);
    }
    const std::uint64_t first = stream_.next_step();
    PlotRows rows = stream_.read(max_steps);
    // Also where the steps read were none of those selected.
    if (stream_.next_step() != first) {
        const std::uint64_t end = stream_.resume_offset();
        const std::uint64_t start = std::max(stream_.last_step_offset(), end - std::min(end, compared_step_bytes));
        last_step_ = bytes_at(start, end - start);
    }
    return rows;
}

}  // namespace reader
