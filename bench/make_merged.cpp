// Writes a merged file for benchmarks: seeded and deterministic, so that every
// tool is measured on the same bytes. Lines end with CR LF.
//
// Usage: make_merged OUTPUT BYTES NAMES RECORDS_PER_RUN RECORD_LENGTH [SEED]
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::size_t name_width = 8;
constexpr std::size_t header_width = 10;
constexpr std::size_t pool_size = 1 << 16;
constexpr std::uint64_t record_length_limit = pool_size / 2;

// A small generator whose sequence depends on nothing but the seed.
struct SplitMix64 {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    std::uint64_t below(std::uint64_t bound) { return next() % bound; }
};

struct Settings {
    std::string output;
    std::uint64_t bytes = 0;
    std::uint64_t names = 0;
    std::uint64_t records_per_run = 0;
    std::uint64_t record_length = 0;
    std::uint64_t seed = 1;
};

std::optional<std::uint64_t> number(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<Settings> parse(int argc, char* argv[]) {
    if (argc != 6 && argc != 7) return std::nullopt;
    Settings settings;
    settings.output = argv[1];
    std::uint64_t* const fields[] = {&settings.bytes, &settings.names, &settings.records_per_run,
                                     &settings.record_length, &settings.seed};
    for (int i = 2; i < argc; ++i) {
        const std::optional<std::uint64_t> value = number(argv[i]);
        if (!value) return std::nullopt;
        *fields[i - 2] = *value;
    }
    if (settings.names < 2 || settings.names > 999 || settings.records_per_run == 0) return std::nullopt;
    if (settings.record_length > record_length_limit) return std::nullopt;
    return settings;
}

// Names of 4 to 8 characters, unique by their leading number, padded with
// blanks to the width of the name field so that the trim is exercised.
std::vector<std::string> make_names(std::uint64_t count, SplitMix64& random) {
    std::vector<std::string> names;
    for (std::uint64_t i = 0; i < count; ++i) {
        char name[name_width + 1];
        std::snprintf(name, sizeof name, "T%03u", static_cast<unsigned>(i));
        std::string padded = name;
        const std::uint64_t letters = random.below(name_width - padded.size() + 1);
        for (std::uint64_t k = 0; k < letters; ++k) padded += static_cast<char>('A' + random.below(26));
        padded.resize(name_width, ' ');
        names.push_back(padded);
    }
    return names;
}

// Record bytes: printable ASCII with no blank at the end, never CR, LF or 0x1A.
std::string make_pool(SplitMix64& random) {
    constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789;.,-";
    std::string pool(pool_size, ' ');
    for (char& c : pool) c = alphabet[random.below(alphabet.size())];
    return pool;
}

}  // namespace

int main(int argc, char* argv[]) {
    const std::optional<Settings> settings = parse(argc, argv);
    if (!settings) {
        std::fprintf(stderr,
                     "usage: make_merged OUTPUT BYTES NAMES RECORDS_PER_RUN RECORD_LENGTH [SEED]\n"
                     "  NAMES from 2 to 999; RECORDS_PER_RUN at least 1; RECORD_LENGTH at most %u\n",
                     static_cast<unsigned>(record_length_limit));
        return 2;
    }
    std::FILE* out = std::fopen(settings->output.c_str(), "wb");
    if (!out) {
        std::perror(settings->output.c_str());
        return 1;
    }
    static char out_buffer[1 << 20];
    std::setvbuf(out, out_buffer, _IOFBF, sizeof out_buffer);

    SplitMix64 random{settings->seed};
    const std::vector<std::string> names = make_names(settings->names, random);
    const std::string pool = make_pool(random);
    const std::uint64_t line_length = header_width + settings->record_length + 2;

    std::string line;
    std::uint64_t written = 0;
    std::uint64_t name = 0;
    std::uint64_t record = 0;
    while (written + line_length <= settings->bytes) {
        if (record % settings->records_per_run == 0) {
            // Each run names another file than the one before, so runs never merge.
            name = (name + 1 + random.below(names.size() - 1)) % names.size();
        }
        const std::uint64_t start = random.below(pool.size() - settings->record_length);
        line = names[name];
        line += "01";
        line.append(pool, start, settings->record_length);
        line += "\r\n";
        std::fwrite(line.data(), 1, line.size(), out);
        written += line.size();
        ++record;
    }
    if (std::fclose(out) != 0) {
        std::perror(settings->output.c_str());
        return 1;
    }
    return 0;
}
