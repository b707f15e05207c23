// A plot file that is still being written, read as it grows (as it is:
// compressed data fails as Problem::compressed): each read
// takes the steps written whole since the last, and first makes sure that
// the file is still the one whose steps were read. It fails as
// Problem::changed where the path names another file now (a new run
// replaced it), where the file is shorter than the bytes read, or where its
// header or the bytes of the last step read are not what they were. A file
// rewritten in place to at least the same length, with the same header and
// the same bytes at the last step read, cannot be told from one that grew.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "reader/compression.hpp"
#include "reader/file_source.hpp"
#include "reader/interrupt.hpp"
#include "reader/plot_stream.hpp"

namespace reader {

class GrowingPlot {
public:
    // Opens the file and reads its header: fails as for a growing
    // PlotStream (Problem::header while the header is not whole).
    GrowingPlot(std::string_view path, const StreamOptions& options, const InterruptCheck& on_interrupt = {});

    const PlotStream& stream() const noexcept { return stream_; }
    // The steps written whole since the last read, at most max_steps (0: all).
    PlotRows read(std::uint64_t max_steps);
    void take_end_as_final() noexcept { stream_.take_end_as_final(); }
    void select(const Selection& selection) { stream_.select(selection); }

private:
    [[noreturn]] void fail_changed(const std::string& what) const;
    void check_unchanged();
    std::string bytes_at(std::uint64_t offset, std::uint64_t size);

    std::string path_;
    InterruptCheck on_interrupt_;
    FileSource file_;
    // Compressed data is refused at the start of the file only.
    RefuseCompressed text_{file_};
    FileIdentity identity_;
    PlotStream stream_;
    std::string header_;
    std::string last_step_;
};

}  // namespace reader
