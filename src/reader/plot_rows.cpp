#include "reader/plot_rows.hpp"

#include <optional>
#include <string>
#include <utility>
#include <vector>

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
    stream.select(options.selection);
    PlotRows plot = stream.read(0);
    plot.names = stream.take_names();
    if (const auto& kept = options.selection.parameters) {
        std::vector<std::string> names;
        names.reserve(kept->size());
        for (const std::uint32_t parameter : *kept) names.push_back(std::move(plot.names[parameter]));
        plot.names = std::move(names);
    }
    return plot;
}

}  // namespace reader
