// What the reader does when a signal interrupts a blocking open or read (a
// FIFO without a writer, a pipe, a stuck device): it asks its caller whether
// to give up, and repeats the call when not. The caller decides by its own
// means (Python's signal handlers, say) and the reader knows nothing of them.
// Giving up throws CallerException, which is not a failure of the file.
#pragma once

namespace reader {

struct InterruptCheck {
    // True stops the read; it may run arbitrary code of the caller's, on the
    // reader's thread. Without one the open or read is simply repeated.
    bool (*stop)(void* context) = nullptr;
    void* context = nullptr;

    bool should_stop() const { return stop != nullptr && stop(context); }
};

// The caller's own code, called from inside the reader (its InterruptCheck,
// or a ByteSource of its own), failed, and the caller holds the reason (a
// Python exception, say). It is the caller's to report; the reader has
// released everything by the time it arrives.
struct CallerException {};

}  // namespace reader
