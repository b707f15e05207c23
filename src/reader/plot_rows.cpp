#include "reader/plot_rows.hpp"

#include <optional>

#include "reader/compression.hpp"
#include "reader/file_source.hpp"
#include "reader/plot_driver.hpp"
#include "reader/plot_stream.hpp"

namespace reader {

PlotRows read_plot_rows(std::string_view path, const RowsOptions& options) {
    int fd = -1;
    if (const IoError error = open_read_only(path, fd, options.on_interrupt)) driver::fail_open(error);
    FileSource file(fd, options.on_interrupt);
    RefuseCompressed text(file);
    StreamOptions stream_options;
    if (!options.detect_width) stream_options.width = options.width;
    stream_options.keep_incomplete = options.keep_incomplete;
    stream_options.buffer_size = options.buffer_size;
    PlotStream stream(text, stream_options);
    PlotRows plot = stream.read(0);
    plot.names = stream.take_names();
    return plot;
}

}  // namespace reader
