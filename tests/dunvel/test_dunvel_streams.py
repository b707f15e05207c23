"""dunvel.read on binary file objects (anything with readinto or read) and
on compressed content (gzip, bzip2, xz, zstd, told by the content's first
bytes, not by the name): the bits and failures of the plain file read by its
path; the object's own exceptions passed through unchanged; the object never
closed; a compressed file cut short read as the plain file cut where the
decompressor's output ends."""

import gzip
import io
import itertools
import os
import random
import subprocess
import threading
import time

import pytest

import dunvel
from stream_support import (
    COMPRESS,
    FORMATS,
    OUTPUT_OF_CUT,
    ReadInto,
    ReadOnly,
    bounded,
    corpus,
    line_ends,
    outcome,
    overwrite,
    random_sizes,
    sample,
    signature,
    zstandard,
)

# --- file objects -------------------------------------------------------------

CONTENTS = {
    "width-12": sample(),
    "width-15-crlf": sample(23, 4, 15, seed=1, newline="\r\n"),
    "no-final-line-feed": sample(11, 3, seed=2)[:-1],
    "no-parameters": b"0\nt=0\nt=1\n",
    "names-in-utf8": "2\n  \u00e9\u3000TEMP\n  \U0001f600\nt=1\n 1.00000E+00-2.50000E-01\n".encode(),
    "cut-in-a-step": sample(12, 5, seed=3)[:-40],
    "bad-field": b"2\na\nb\nt\n 1.00000E+00 2.0000xE+00\n",
    "header-only": b"3\na\nb\n",
    "empty": b"",
    "large": sample(40, 2500, seed=4),  # 1.3 MB: many refills of any buffer
}

SOURCES = {
    "BytesIO": lambda data, path: io.BytesIO(data),
    "open-rb": lambda data, path: open(path, "rb"),  # noqa: SIM115 - closed by the test
    "open-unbuffered": lambda data, path: open(path, "rb", buffering=0),  # noqa: SIM115
    "gzip.open": lambda data, path: gzip.open(io.BytesIO(gzip.compress(data, 1))),  # noqa: SIM115
    "readinto": lambda data, path: ReadInto(data),
    "readinto-1-byte": lambda data, path: ReadInto(data, [1]),
    "readinto-random": lambda data, path: ReadInto(data, random_sizes(len(data), 5000)),
    "read": lambda data, path: ReadOnly(data),
    "read-1-byte": lambda data, path: ReadOnly(data, [1]),
    "read-random": lambda data, path: ReadOnly(data, random_sizes(len(data), 5000)),
}


def chunked(stream, steps):
    """The chunks of a reader on stream, joined, as joined() has a plot."""
    try:
        with dunvel.open(stream) as reader:
            plots = list(reader.chunks(steps))
    except dunvel.PlotFileError as error:
        return signature(error)
    return ("plot", reader.names, *(b"".join(getattr(p, name).tobytes() for p in plots)
                                    for name in ("values", "times", "steps")))


def joined(result):
    return ("plot", result.names, *signature(result)[5:]) if isinstance(result, dunvel.Plot) else signature(result)


# A byte a call over the large file would take long and find nothing more.
@pytest.mark.parametrize("content, source", [(content, source) for content in CONTENTS for source in SOURCES
                                             if content != "large" or "1-byte" not in source])
def test_a_stream_reads_as_its_file(write_file, content, source):
    data = CONTENTS[content]
    path = write_file(data)
    expected = {"chunks": joined(outcome(dunvel.read, path))}  # a reader's, three steps at a time
    for width, incomplete in [(None, "raise"), (None, "keep"), (12, "raise")]:
        expected[width, incomplete] = signature(outcome(dunvel.read, path, width, incomplete=incomplete))
    for case, want in expected.items():
        stream = SOURCES[source](data, path)
        try:
            if case == "chunks":
                assert bounded(chunked, stream, 3) == want
            else:
                assert signature(bounded(outcome, dunvel.read, stream, case[0], incomplete=case[1])) == want, case
            assert not getattr(stream, "closed", False) and getattr(stream, "closes", 0) == 0
        finally:
            if hasattr(stream, "__exit__"):
                stream.close()


@pytest.mark.parametrize("buffered", [True, False], ids=["buffered", "unbuffered"])
def test_a_pipe_written_by_a_thread(write_file, buffered):
    data = sample(40, 2000, seed=5)  # 2 MB, far past what a pipe holds
    want = signature(dunvel.read(write_file(data)))
    readable, writable = os.pipe()

    def write():
        rng = random.Random(6)
        at = 0
        try:
            while at < len(data):
                piece = rng.choice([1, 100, 4096, 65536, 300000])
                at += os.write(writable, data[at : at + piece])
                if rng.random() < 0.05:
                    time.sleep(0.002)
        except BrokenPipeError:
            pass  # the reader gave up: its failure is the test's
        finally:
            os.close(writable)

    writer = threading.Thread(target=write, daemon=True)
    writer.start()
    with os.fdopen(readable, "rb", buffering=-1 if buffered else 0) as stream:
        plot = bounded(dunvel.read, stream)
        assert (signature(plot), plot.path) == (want, "<stream>")  # the name of a pipe's file is its fd
    writer.join(10)
    assert not writer.is_alive()


def test_a_child_process_pipe_of_compressed_data(write_file):
    data = sample(30, 800, seed=7)
    want = signature(dunvel.read(write_file(data)))
    packed = write_file(gzip.compress(data, 1))
    with subprocess.Popen(["cat", packed], stdout=subprocess.PIPE) as child:
        try:
            assert signature(bounded(dunvel.read, child.stdout)) == want
        finally:
            child.stdout.close()
            child.kill()


def test_read_from_where_the_stream_stands():
    stream = io.BytesIO(b"junk that is no plot\n" + sample(3, 4, seed=8))
    stream.seek(21)
    assert signature(dunvel.read(stream)) == signature(dunvel.read(io.BytesIO(sample(3, 4, seed=8))))


# (the bytes before it fails, the method that fails)
FAILING_CALLS = [(0, "readinto"), (5, "readinto"), (60, "readinto"), (None, "readinto"), (0, "read"), (60, "read"),
                 (None, "read")]


class Boom(Exception):
    pass


@pytest.mark.parametrize("error", [Boom("boom"), OSError(5, "Input/output error"), KeyboardInterrupt()],
                         ids=["own-class", "OSError", "KeyboardInterrupt"])
@pytest.mark.parametrize("before, method", FAILING_CALLS)
def test_the_streams_exception_reaches_the_caller_unchanged(error, before, method):
    data = sample(12, 3, seed=9)
    before = len(data) if before is None else before  # None: where the stream would say it ended
    stream = (ReadInto if method == "readinto" else ReadOnly)(data, [7], end=before)
    take = stream.take

    def failing(size):
        if stream.at >= before:
            raise error
        return take(size)

    stream.take = failing
    with pytest.raises(BaseException) as caught:
        bounded(dunvel.read, stream)
    assert caught.value is error
    assert stream.closes == 0


# (the method, what it returns in place of what it would: from the size asked
# for, or the buffer's, and what it would return)
LIES = {
    "readinto-one-more": ("readinto", lambda size, got: size + 1),
    "readinto-far-more": ("readinto", lambda size, got: size + (1 << 40)),
    "readinto-negative": ("readinto", lambda size, got: -1),
    "read-one-more": ("read", lambda size, got: got + b"0" * (size + 1 - len(got))),
    "read-more-than-twice": ("read", lambda size, got: got + b" " * (size + 1)),
}


@pytest.mark.parametrize("lie", LIES)
@pytest.mark.parametrize("call", [0, 1, 6])
def test_a_stream_that_gives_more_than_it_was_asked_for_is_os_error(lie, call):
    # Once, at the call-th call (the first may be the one that tells the
    # format; the stream is honest on the others).
    method, told = LIES[lie]
    stream = (ReadInto if method == "readinto" else ReadOnly)(sample(12, 3, seed=10), [7])
    real, calls = getattr(stream, method), itertools.count()

    def lying(asked):
        got = real(asked)
        size = len(asked) if method == "readinto" else asked
        return told(size, got) if next(calls) == call else got

    setattr(stream, method, lying)
    with pytest.raises(OSError) as caught:
        bounded(dunvel.read, stream)
    assert not isinstance(caught.value, ValueError), caught.value


def early_ends():
    """Where a stream says it ended, for sample(12, 3): in the count line, at
    the end of the header, in a step, at a step's last byte before its line
    feed, right after it, in the next step's block-start line."""
    ends = line_ends(sample(12, 3, seed=11))
    header, first_step = ends[12], ends[15]
    return [0, 2, header - 1, header, header + 20, first_step - 1, first_step, first_step + 3]


@pytest.mark.parametrize("end", early_ends())
def test_readinto_returning_0_early_ends_the_data_there(write_file, end):
    data = sample(12, 3, seed=11)
    plain = write_file(data[:end])
    for source in (ReadInto, ReadOnly):
        for incomplete in ("raise", "keep"):
            stream = source(data, [13], end=end)
            got = bounded(outcome, dunvel.read, stream, incomplete=incomplete)
            assert signature(got) == signature(outcome(dunvel.read, plain, incomplete=incomplete))


class StrRead(ReadOnly):
    """Text from a read() of a class of its own, no io.TextIOBase."""

    def read(self, size=-1):
        return super().read(size).decode("latin-1")


def text_streams(path):
    with open(path, "rb") as file:
        data = file.read()
    return [io.StringIO(data.decode()), open(path, encoding="utf-8"),
            io.TextIOWrapper(io.BytesIO(data), encoding="utf-8")]


@pytest.mark.parametrize("text", ["io.TextIOBase", "read-gives-str"])
@pytest.mark.parametrize("call", ["read", "open"])
def test_a_text_stream_is_type_error(write_file, call, text):
    path = write_file(sample(3, 2))
    for stream in text_streams(path) if text == "io.TextIOBase" else [StrRead(sample(3, 2))]:
        try:
            with pytest.raises(TypeError) as caught:
                getattr(dunvel, call)(stream).read()
            assert "binary" in str(caught.value)
            assert not getattr(stream, "closed", False) and getattr(stream, "closes", 0) == 0
        finally:
            stream.close()


@pytest.mark.parametrize(
    "make, name",
    [
        (lambda data, path: open(path, "rb"), "{path}"),  # noqa: SIM115 - closed by the test
        (lambda data, path: io.BytesIO(data), "<stream>"),
        (lambda data, path: ReadInto(data, name="run42.plt"), "run42.plt"),
        (lambda data, path: ReadInto(data, name=b"run42.plt"), "<stream>"),
        (lambda data, path: ReadInto(data, name=7), "<stream>"),
        (lambda data, path: ReadInto(data), "<stream>"),
    ],
    ids=["file", "BytesIO", "str-name", "bytes-name", "int-name", "no-name"],
)
@pytest.mark.parametrize("data", [sample(3, 2), b"1\na\nt\n 1.0000xE+00\n"], ids=["good", "bad-field"])
def test_path_is_the_streams_str_name_and_the_stream_stays_open(write_file, make, name, data):
    path = write_file(data)
    name = name.format(path=path)

    def by_read(stream):
        return dunvel.read(stream)

    def by_open(stream):
        with dunvel.open(stream) as reader:
            assert reader.path == name
            return reader.read()

    for call in (by_read, by_open):
        stream = make(data, path)
        try:
            got = outcome(call, stream)
            assert got.path == name
            if isinstance(got, dunvel.PlotFileError):
                assert str(got).startswith(f"{name}, line 4: ")
            assert not getattr(stream, "closed", False) and getattr(stream, "closes", 0) == 0
        finally:
            if hasattr(stream, "__exit__"):
                stream.close()


# --- compressed content -------------------------------------------------------


COMPRESSED_CONTENTS = {name: CONTENTS[name] for name in
                       ["width-12", "width-15-crlf", "no-final-line-feed", "names-in-utf8", "cut-in-a-step",
                        "bad-field", "header-only", "empty", "large"]}


@pytest.mark.parametrize("content", COMPRESSED_CONTENTS)
@pytest.mark.parametrize("fmt", FORMATS)
def test_compressed_content_reads_as_the_plain(write_file, fmt, content):
    data = COMPRESSED_CONTENTS[content]
    plain = write_file(data)
    packed_data = COMPRESS[fmt](data)
    packed = write_file(packed_data)
    for incomplete in ("raise", "keep"):
        want = signature(outcome(dunvel.read, plain, incomplete=incomplete))
        for compression in ("infer", fmt):
            for given in (packed, io.BytesIO(packed_data), ReadInto(packed_data, random_sizes(5, 300))):
                got = bounded(outcome, dunvel.read, given, incomplete=incomplete, compression=compression)
                assert signature(got) == want, (incomplete, compression, given)
                if got.path != "<stream>":
                    assert got.path == packed


@pytest.mark.parametrize("name", ["plot.gz", "plot.bz2", "plot.xz", "plot.zst", "plot.tar.gz"])
def test_the_name_tells_nothing(tmp_path, name):
    data = sample(3, 2)
    (tmp_path / name).write_bytes(data)
    (tmp_path / "plot.dat").write_bytes(gzip.compress(data))
    want = signature(dunvel.read(io.BytesIO(data)))
    assert signature(dunvel.read(tmp_path / name)) == want
    assert signature(dunvel.read(tmp_path / "plot.dat")) == want


@pytest.mark.parametrize("fmt", FORMATS)
def test_compression_none_reads_the_bytes_as_they_are_and_a_format_insists(write_file, fmt):
    packed_data = COMPRESS[fmt](sample(3, 2))
    for given in (write_file(packed_data), io.BytesIO(packed_data)):
        with pytest.raises(dunvel.PlotFileError) as caught:
            dunvel.read(given, compression=None)
        assert (caught.value.kind, caught.value.line) == ("compressed", 1)
    # Plain text, or another format, where this one is insisted on: a failure
    # of the content or of reading it, not a decompressor's own exception.
    for data in (sample(3, 2), COMPRESS[FORMATS[FORMATS.index(fmt) - 1]](sample(3, 2))):
        for given in (write_file(data), io.BytesIO(data)):
            with pytest.raises((dunvel.PlotFileError, OSError)):
                bounded(dunvel.read, given, compression=fmt)


@pytest.mark.parametrize("compression", ["zip", "", "lz4", 1])
def test_unknown_compression(write_file, compression):
    with pytest.raises((ValueError, TypeError)):
        dunvel.read(write_file(sample(3, 2)), compression=compression)


def member_cuts(data):
    """Where to split data into gzip members: in the count line, between
    header lines, before a line feed (after a carriage return where lines end
    in both), in a name, in a block-start line, in a field, at a step's end
    and right before it."""
    ends = line_ends(data)
    return sorted({1, ends[0], ends[2] - 1, ends[3] - 2, ends[13] + 3, ends[14] + 17, ends[15] - 1, ends[15],
                   len(data) - 1})


@pytest.mark.parametrize("content", ["width-12", "width-15-crlf", "cut-in-a-step", "large"])
def test_gzip_of_several_members(write_file, content):
    data = CONTENTS[content]
    want = signature(outcome(dunvel.read, io.BytesIO(data), incomplete="keep"))
    cuts = [0, *member_cuts(data), len(data)]
    members = [gzip.compress(data[a:b], 1) for a, b in zip(cuts, cuts[1:])]
    for packed_data in (b"".join(members), gzip.compress(b"") + b"".join(members) + gzip.compress(b"")):
        for given in (write_file(packed_data), io.BytesIO(packed_data), ReadOnly(packed_data, [1, 2, 3, 5, 8])):
            got = bounded(outcome, dunvel.read, given, incomplete="keep")
            assert signature(got) == want


def zstd_stream(data):
    """A zstd frame as a streaming compressor writes it: no content size, a
    block per flush."""
    compressor = zstandard().ZstdCompressor(level=1).compressobj()
    pieces = [compressor.compress(data[at : at + 5000]) + compressor.flush(zstandard().COMPRESSOBJ_FLUSH_BLOCK)
              for at in range(0, len(data), 5000)]
    return b"".join(pieces) + compressor.flush()


@pytest.mark.parametrize("fmt", ["bz2", "xz", "zstd", "zstd-streamed"])
def test_streams_one_after_another(write_file, fmt):
    # As `cat a.xz b.xz` leaves them, and as their own tools read them.
    data = CONTENTS["large"]
    want = signature(dunvel.read(io.BytesIO(data)))
    compress = zstd_stream if fmt == "zstd-streamed" else COMPRESS[fmt]
    cuts = [0, *member_cuts(data), len(data)]
    packed_data = b"".join(compress(data[a:b]) for a, b in zip(cuts, cuts[1:]))
    for given in (write_file(packed_data), io.BytesIO(packed_data), ReadInto(packed_data, random_sizes(9, 20000))):
        assert signature(bounded(dunvel.read, given)) == want


@pytest.mark.parametrize("tail", [b"\n", b"\0" * 4, b"not compressed data, nor a plot"],
                         ids=["line-feed", "zeros", "text"])
@pytest.mark.parametrize("fmt", FORMATS)
def test_bytes_after_the_compressed_data(fmt, tail):
    # Either left out, or a failure of the file's content (or of reading
    # it): not the decompressor's own exception, nor a broken call.
    data = sample(3, 2)
    want = signature(dunvel.read(io.BytesIO(data)))
    try:
        got = bounded(dunvel.read, io.BytesIO(COMPRESS[fmt](data) + tail))
    except (dunvel.PlotFileError, OSError):
        return  # anything else fails the test
    assert signature(got) == want


@pytest.mark.parametrize("fmt", FORMATS)
def test_a_cut_compressed_file_reads_as_the_plain_file_cut_where_the_output_ends(tmp_path, fmt):
    data = sample(12, 30, seed=12)
    packed_data = COMPRESS[fmt](data)
    output = OUTPUT_OF_CUT[fmt]
    # Every cut from the last one whose output ends before the second last
    # step begins (for a format that gives nothing until its block ends,
    # the last one that gives nothing), and every 41st before it; none in
    # the first bytes, which may not tell the format yet.
    last_two = line_ends(data)[12 + 28 * 3 - 1]
    first = max(c for c in range(len(packed_data) + 1) if len(output(packed_data[:c])) <= last_two)
    cuts = [*range(16, first, 41), *range(first, len(packed_data) + 1)]
    plain, packed = tmp_path / "plain.dat", tmp_path / "packed.dat"
    expected = {}
    for cut in cuts:
        head = output(packed_data[:cut])
        assert data.startswith(head)
        packed.write_bytes(packed_data[:cut])
        if len(head) not in expected:
            plain.write_bytes(head)
            expected[len(head)] = {mode: signature(outcome(dunvel.read, plain, incomplete=mode))
                                   for mode in ("raise", "keep")}
        for mode, want in expected[len(head)].items():
            for given in (packed, io.BytesIO(packed_data[:cut])):
                got = bounded(outcome, dunvel.read, given, incomplete=mode)
                assert signature(got) == want, (cut, len(head), mode, given)
    # The cuts reached into the last two steps, and past the end of the data.
    assert min(expected) <= last_two and max(expected) == len(data)


@pytest.mark.after_corpus
def test_every_corpus_file_compressed(tmp_path):
    # Run alone, the corpus holds only what this file writes; with the whole
    # suite, every file of every other test. Each is read as the plain one
    # with compression=None: the content of a compressed file is read as it
    # is once decompressed, a compressed file inside one too. Every file in
    # every format, by its path and as a stream (two in five of them a
    # stream of short reads).
    files = corpus()
    plain = tmp_path / "plain.dat"
    packed = {fmt: tmp_path / f"{fmt}.dat" for fmt in FORMATS}
    started = time.monotonic()
    for index, data in enumerate(files):
        overwrite(plain, data)
        want = signature(outcome(dunvel.read, plain, compression=None))
        for fmt in FORMATS:
            packed_data = COMPRESS[fmt](data)
            overwrite(packed[fmt], packed_data)
            stream = ReadInto(packed_data, random_sizes(index, 3000)) if index % 5 < 2 else io.BytesIO(packed_data)
            for given in (packed[fmt], stream):
                assert signature(outcome(dunvel.read, given)) == want, (index, fmt, given, data[:200])
    print(f"{len(files)} files, each in {len(FORMATS)} formats, in {time.monotonic() - started:.1f} s")
