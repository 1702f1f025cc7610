// Throughput of the DOS text streams: reading lines and writing records.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <fcntl.h>
#include <unistd.h>

#include "textfile/text_stream.h"

namespace {

constexpr std::size_t file_bytes = 16 << 20;
constexpr std::int32_t line_limit = 4010;

std::string scratch_path(const char* what) {
    const char* directory = std::getenv("TMPDIR");
    return std::string(directory && *directory ? directory : "/tmp") + "/text_stream_bench." +
           std::to_string(getpid()) + "." + what;
}

// A line of length characters before its CR LF, in a pattern without CR or LF.
std::string make_line(std::size_t length) {
    std::string line;
    for (std::size_t i = 0; i < length; ++i) line += static_cast<char>('A' + i % 26);
    return line;
}

// A file of about file_bytes in lines of the given length, ended by CR LF.
std::string write_lines_file(std::size_t length) {
    const std::string path = scratch_path(("lines" + std::to_string(length)).c_str());
    std::FILE* file = std::fopen(path.c_str(), "wb");
    const std::string line = make_line(length) + "\r\n";
    for (std::size_t written = 0; written < file_bytes; written += line.size())
        std::fwrite(line.data(), 1, line.size(), file);
    std::fclose(file);
    return path;
}

void read_lines(benchmark::State& state) {
    const std::string path = write_lines_file(static_cast<std::size_t>(state.range(0)));
    const std::int64_t bytes = file_length(path);
    std::string line;
    for (auto _ : state) {
        std::optional<TextStream> stream = text_open(path, "ra");
        std::int64_t lines = 0;
        while (text_read_line(line, line_limit, *stream)) ++lines;
        if (text_close(*stream) != 0) state.SkipWithError("the close failed");
        benchmark::DoNotOptimize(lines);
    }
    state.SetBytesProcessed(state.iterations() * bytes);
    std::remove(path.c_str());
}
// Short lines (a small record), a typical record, lines near the limit.
BENCHMARK(read_lines)->Arg(20)->Arg(120)->Arg(4000)->Unit(benchmark::kMillisecond);

// Written to the null device, so that the text layer and its 4096-byte
// writes are measured, not the page cache.
void write_records(benchmark::State& state) {
    const std::string record = make_line(static_cast<std::size_t>(state.range(0))) + "\n";
    const std::size_t records = file_bytes / record.size();
    for (auto _ : state) {
        TextStream stream = text_stream_for_writing(platform::File(open("/dev/null", O_WRONLY | O_CLOEXEC)));
        int failed = 0;
        for (std::size_t i = 0; i < records; ++i) failed |= text_write(record, stream);
        if ((failed | text_close(stream)) != 0) state.SkipWithError("a write failed");
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(records * record.size()));
}
BENCHMARK(write_records)->Arg(20)->Arg(110)->Arg(4000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
