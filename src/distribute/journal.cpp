// The journal's file: plain text, one file a line, names given with their
// length so that any byte may stand in them, and a last line with a checksum
// of all before it, so that a journal whose writing a crash cut short is
// known for one. It is read a piece at a time, so that a file of any size
// at its name takes bounded memory, and trusted only as far as this command
// could have written it.
#include "distribute/journal.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "textfile/names.h"

namespace {

constexpr std::string_view first_line = "vrtl_sdf journal 2\n";
constexpr std::string_view merged_word = "merged ";
constexpr std::string_view sdf_word = "sdf ";
constexpr std::string_view end_word = "end ";

// No file system takes longer names, and none of the command's does.
constexpr std::size_t longest_name = 255;

// FNV-1a over the bytes of the journal before its last line.
struct Checksum {
    std::uint64_t value = 0xcbf29ce484222325ULL;
    void add(char c) { value = (value ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL; }
};

// Reads the journal from its file, a piece at a time; every read moves on,
// and every byte read goes into the checksum.
class Reader {
public:
    explicit Reader(platform::File& file) : file_(file) {}

    bool literal(std::string_view expected) {
        return std::all_of(expected.begin(), expected.end(), [&](char c) { return next() == c; });
    }
    template <typename Number>
    bool number(Number& value) {
        char digits[24];
        std::size_t count = 0;
        for (std::optional<char> c = next(); c != ' '; c = next()) {
            if (!c || count == sizeof digits) return false;
            digits[count++] = *c;
        }
        // Only as the writer writes numbers: no "+", "-0" or leading zero.
        const std::string_view text(digits, count);
        const std::string_view magnitude = text.starts_with('-') ? text.substr(1) : text;
        if (magnitude.empty() || (magnitude.front() == '0' && text.size() > 1)) return false;
        const auto [end, error] = std::from_chars(digits, digits + count, value);
        return error == std::errc{} && end == digits + count;
    }
    bool name(std::string& value) {
        std::size_t length = 0;
        if (!number(length) || length > longest_name) return false;
        value.clear();
        for (std::size_t i = 0; i < length; ++i) {
            const std::optional<char> c = next();
            if (!c) return false;
            value += *c;
        }
        return next() == '\n';
    }
    bool at_end() { return !next(); }
    const Checksum& checksum() const { return checksum_; }
    bool failed() const { return failed_; }

    std::optional<char> next() {
        if (next_ == limit_) {
            const std::optional<std::size_t> count = platform::read_some(file_, buffer_);
            failed_ = failed_ || !count;
            if (!count || *count == 0) return std::nullopt;
            next_ = 0;
            limit_ = *count;
        }
        const char c = buffer_[next_++];
        checksum_.add(c);
        return c;
    }

private:
    platform::File& file_;
    std::array<char, 4096> buffer_{};
    std::size_t next_ = 0;
    std::size_t limit_ = 0;
    Checksum checksum_{};
    bool failed_ = false;
};

// A name the journal may hold: one this command gives a file of the directory.
bool is_name_in_directory(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && is_plain_file_name(name);
}

FoundJournal parsed(Reader& reader) {
    FoundJournal found{FoundJournal::State::unfinished, {}};
    Journal& journal = found.journal;
    if (!reader.literal(first_line) || !reader.literal(merged_word) || !reader.number(journal.merged_index) ||
        !reader.number(journal.merged_size) || !reader.number(journal.merged_modified) ||
        !reader.name(journal.merged_name)) {
        return found;
    }
    if (!is_name_in_directory(journal.merged_name)) return {FoundJournal::State::refused, {}};
    for (;;) {
        const Checksum before = reader.checksum();
        const std::optional<char> first = reader.next();
        if (first == end_word.front()) {
            std::uint64_t expected = 0;
            if (reader.literal(end_word.substr(1)) && reader.number(expected) && reader.literal("\n") &&
                reader.at_end() && expected == before.value) {
                found.state = FoundJournal::State::found;
            }
            return found;
        }
        JournaledFile file;
        std::string name;
        if (first != sdf_word.front()) return found;
        if (!reader.literal(sdf_word.substr(1)) || !reader.number(file.index) || !reader.number(file.length) ||
            !reader.name(name)) {
            return found;
        }
        if (!is_name_in_directory(name) || !has_sdf_extension(name)) return {FoundJournal::State::refused, {}};
        journal.sdf_files.push_back(file);
    }
}

bool by_index(const JournaledFile& a, const JournaledFile& b) { return a.index < b.index; }

// Writes the journal's text to its file a piece at a time, summing it as it goes.
class Writer {
public:
    explicit Writer(platform::File& file) : file_(file) {}
    void put(std::string_view bytes) {
        for (const char c : bytes) checksum_.add(c);
        text_ += bytes;
        if (text_.size() >= piece_size) flush();
    }
    template <typename Number>
    void number(Number value) {
        char digits[24];
        put(std::string_view(digits, std::to_chars(std::begin(digits), std::end(digits), value).ptr));
        put(" ");
    }
    void name(std::string_view name) {
        number(name.size());
        put(name);
        put("\n");
    }
    // The last line: the sum of all before it.
    bool finish() {
        text_ += end_word;
        char digits[24];
        text_.append(digits, std::to_chars(std::begin(digits), std::end(digits), checksum_.value).ptr);
        text_ += " \n";
        flush();
        return written_;
    }

private:
    static constexpr std::size_t piece_size = 64 << 10;
    void flush() {
        written_ = written_ && platform::write_all(file_, text_);
        text_.clear();
    }

    platform::File& file_;
    std::string text_;
    Checksum checksum_{};
    bool written_ = true;
};

}  // namespace

bool is_journaled_merged_file(const Journal& journal, const platform::FileStatus& status) {
    return status.id.index == journal.merged_index;
}

bool is_journaled_merged_file_unchanged(const Journal& journal, const platform::FileStatus& status) {
    return is_journaled_merged_file(journal, status) && status.size == journal.merged_size &&
           status.modified == journal.merged_modified;
}

std::optional<std::int64_t> journaled_length(const Journal& journal, const platform::FileId& id) {
    const auto found = std::lower_bound(journal.sdf_files.begin(), journal.sdf_files.end(),
                                        JournaledFile{id.index, 0}, by_index);
    if (found == journal.sdf_files.end() || found->index != id.index) return std::nullopt;
    return found->length;
}

std::optional<Journal> write_journal(const platform::Directory& directory, const std::string& merged_name,
                                     const platform::FileStatus& merged, std::string_view sdf_names) {
    std::optional<platform::File> file = platform::create_own_file(directory, journal_name);
    if (!file) return std::nullopt;
    Journal journal{merged_name, merged.id.index, merged.size, merged.modified, {}};
    Writer writer(*file);
    writer.put(first_line);
    writer.put(merged_word);
    writer.number(journal.merged_index);
    writer.number(journal.merged_size);
    writer.number(journal.merged_modified);
    writer.name(journal.merged_name);
    while (!sdf_names.empty()) {
        const std::string_view name = sdf_names.substr(0, sdf_names.find('\0'));
        sdf_names.remove_prefix(std::min(sdf_names.size(), name.size() + 1));
        const std::optional<platform::FileStatus> status = platform::status_in(directory, name);
        if (!status) continue;
        writer.put(sdf_word);
        writer.number(status->id.index);
        writer.number(status->size);
        writer.name(name);
        journal.sdf_files.push_back({status->id.index, status->size});
    }
    if (!writer.finish() || !platform::finish_own_file(directory, *file)) return std::nullopt;
    std::sort(journal.sdf_files.begin(), journal.sdf_files.end(), by_index);
    return journal;
}

FoundJournal read_journal(const platform::Directory& directory) {
    if (!platform::name_taken(directory, journal_name)) return {FoundJournal::State::none, {}};
    std::optional<platform::OpenedFile> opened =
        platform::open_in(directory, journal_name, platform::Access::read, platform::Links::refused);
    if (!opened || !platform::is_own_file(opened->file)) return {FoundJournal::State::refused, {}};
    Reader reader(opened->file);
    FoundJournal found = parsed(reader);
    if (reader.failed()) found = {FoundJournal::State::refused, {}};
    std::sort(found.journal.sdf_files.begin(), found.journal.sdf_files.end(), by_index);
    // Only read: the close has nothing to report.
    static_cast<void>(platform::close_file(opened->file));
    return found;
}

bool remove_journal(const platform::Directory& directory) { return platform::remove_name(directory, journal_name); }
