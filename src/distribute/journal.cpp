// The journal's file: plain text, one file a line, names given with their
// length so that any byte may stand in them, and a last line with a checksum
// of all before it, so that a journal whose writing a crash cut short is
// known for one.
#include "distribute/journal.h"

#include <algorithm>
#include <charconv>

#include "textfile/names.h"

namespace {

constexpr std::string_view first_line = "vrtl_sdf journal 1\n";

std::uint64_t checksum(std::string_view bytes) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;  // FNV-1a
    for (const char c : bytes) hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
    return hash;
}

template <typename Number>
void put_number(std::string& out, Number number) {
    char digits[24];
    out.append(digits, std::to_chars(std::begin(digits), std::end(digits), number).ptr);
    out += ' ';
}

void put_name(std::string& out, std::string_view name) {
    put_number(out, name.size());
    out += name;
    out += '\n';
}

// Reads the journal's text from its start; every read moves on.
class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}
    bool word(std::string_view expected) {
        if (!text_.starts_with(expected) || !text_.substr(expected.size()).starts_with(' ')) return false;
        text_.remove_prefix(expected.size() + 1);
        return true;
    }
    template <typename Number>
    bool number(Number& value) {
        const auto [end, error] = std::from_chars(text_.data(), text_.data() + text_.size(), value);
        if (error != std::errc{} || end == text_.data() + text_.size() || *end != ' ') return false;
        text_.remove_prefix(static_cast<std::size_t>(end - text_.data()) + 1);
        return true;
    }
    bool name(std::string& value) {
        std::size_t length = 0;
        if (!number(length) || length >= text_.size() || text_[length] != '\n') return false;
        value = text_.substr(0, length);
        text_.remove_prefix(length + 1);
        return true;
    }
    bool file_id(platform::FileId& id) { return number(id.device) && number(id.index); }
    bool at_end() const { return text_.empty(); }

private:
    std::string_view text_;
};

std::optional<std::string> whole_file(const std::string& path) {
    std::optional<platform::File> file = platform::open_file(path, platform::Access::read);
    if (!file) return std::nullopt;
    std::string text;
    char piece[4096];
    for (;;) {
        const std::optional<std::size_t> count = platform::read_some(*file, piece);
        if (!count) return std::nullopt;
        if (*count == 0) break;
        text.append(piece, *count);
    }
    // Only read: the close has nothing to report.
    static_cast<void>(platform::close_file(*file));
    return text;
}

std::optional<Journal> parsed(std::string_view text) {
    constexpr std::string_view end_word = "end ";
    const std::size_t last_line = text.rfind(end_word);
    if (!text.starts_with(first_line) || last_line == std::string_view::npos) return std::nullopt;
    std::uint64_t expected = 0;
    Reader end(text.substr(last_line + end_word.size()));
    if (!end.number(expected) || checksum(text.substr(0, last_line)) != expected) return std::nullopt;

    Reader reader(text.substr(first_line.size(), last_line - first_line.size()));
    Journal journal;
    if (!reader.word("merged") || !reader.file_id(journal.merged.id) || !reader.number(journal.merged.size) ||
        !reader.number(journal.merged.modified) || !reader.name(journal.merged_name)) {
        return std::nullopt;
    }
    while (!reader.at_end()) {
        RecordedFile file;
        if (!reader.word("sdf") || !reader.file_id(file.id) || !reader.number(file.length) || !reader.name(file.name)) {
            return std::nullopt;
        }
        journal.sdf_files.push_back(std::move(file));
    }
    return journal;
}

}  // namespace

Journal journal_before_distribution(const std::string& directory_text, const std::string& merged_name,
                                    const platform::FileStatus& merged) {
    Journal journal{merged_name, merged, {}};
    for (std::string& name : platform::directory_entries(directory_text)) {
        if (!has_sdf_extension(name)) continue;
        if (const std::optional<platform::FileStatus> status = platform::regular_file_status(directory_text + name)) {
            journal.sdf_files.push_back(RecordedFile{status->id, status->size, std::move(name)});
        }
    }
    return journal;
}

std::optional<std::int64_t> length_before(const Journal& journal, const platform::FileId& id) {
    const auto found = std::find_if(journal.sdf_files.begin(), journal.sdf_files.end(),
                                    [&](const RecordedFile& file) { return file.id == id; });
    if (found == journal.sdf_files.end()) return std::nullopt;
    return found->length;
}

bool write_journal(const std::string& directory_text, const Journal& journal) {
    std::string text(first_line);
    text += "merged ";
    put_number(text, journal.merged.id.device);
    put_number(text, journal.merged.id.index);
    put_number(text, journal.merged.size);
    put_number(text, journal.merged.modified);
    put_name(text, journal.merged_name);
    for (const RecordedFile& file : journal.sdf_files) {
        text += "sdf ";
        put_number(text, file.id.device);
        put_number(text, file.id.index);
        put_number(text, file.length);
        put_name(text, file.name);
    }
    const std::uint64_t sum = checksum(text);
    text += "end ";
    put_number(text, sum);
    text += '\n';
    return platform::write_own_file_durably(directory_text, std::string(journal_name), text);
}

FoundJournal read_journal(const std::string& directory_text) {
    const std::string path = directory_text + std::string(journal_name);
    if (!platform::path_exists(path)) return {FoundJournal::State::none, {}};
    const std::optional<std::string> text = whole_file(path);
    if (!text) return {FoundJournal::State::unreadable, {}};
    std::optional<Journal> journal = parsed(*text);
    if (!journal) return {FoundJournal::State::unfinished, {}};
    return {FoundJournal::State::found, std::move(*journal)};
}

bool remove_journal(const std::string& directory_text) {
    return platform::remove_own_file(directory_text + std::string(journal_name));
}
