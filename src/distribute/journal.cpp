// The journal's file: plain text, one file a line, names given with their
// length so that any byte may stand in them, and a last line with a checksum
// of all before it, so that a journal whose writing a crash cut short is
// known for one.
#include "distribute/journal.h"

#include <algorithm>
#include <charconv>

#include "textfile/names.h"

namespace {

constexpr std::string_view first_line = "vrtl_sdf journal 2\n";

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
    bool at_end() const { return text_.empty(); }

private:
    std::string_view text_;
};

std::optional<Journal> parsed(std::string_view text) {
    constexpr std::string_view end_word = "end ";
    const std::size_t last_line = text.rfind(end_word);
    if (!text.starts_with(first_line) || last_line == std::string_view::npos) return std::nullopt;
    std::uint64_t expected = 0;
    Reader end(text.substr(last_line + end_word.size()));
    if (!end.number(expected) || checksum(text.substr(0, last_line)) != expected) return std::nullopt;

    Reader reader(text.substr(first_line.size(), last_line - first_line.size()));
    Journal journal;
    if (!reader.word("merged") || !reader.number(journal.merged_index) || !reader.number(journal.merged_size) ||
        !reader.number(journal.merged_modified) || !reader.name(journal.merged_name)) {
        return std::nullopt;
    }
    while (!reader.at_end()) {
        JournaledFile file;
        if (!reader.word("sdf") || !reader.number(file.index) || !reader.number(file.length) || !reader.name(file.name)) {
            return std::nullopt;
        }
        journal.sdf_files.push_back(std::move(file));
    }
    return journal;
}

}  // namespace

Journal journal_before_distribution(const platform::Directory& directory, const std::string& merged_name,
                                    const platform::FileStatus& merged) {
    Journal journal{merged_name, merged.id.index, merged.size, merged.modified, {}};
    for (std::string& name : platform::directory_entries(directory)) {
        if (!has_sdf_extension(name)) continue;
        if (const std::optional<platform::FileStatus> status = platform::status_in(directory, name)) {
            journal.sdf_files.push_back(JournaledFile{status->id.index, status->size, std::move(name)});
        }
    }
    return journal;
}

bool is_journaled_merged_file(const Journal& journal, const platform::FileStatus& status) {
    return status.id.index == journal.merged_index;
}

bool is_journaled_merged_file_unchanged(const Journal& journal, const platform::FileStatus& status) {
    return is_journaled_merged_file(journal, status) && status.size == journal.merged_size &&
           status.modified == journal.merged_modified;
}

std::optional<std::int64_t> journaled_length(const Journal& journal, const platform::FileId& id) {
    const auto found = std::find_if(journal.sdf_files.begin(), journal.sdf_files.end(),
                                    [&](const JournaledFile& file) { return file.index == id.index; });
    if (found == journal.sdf_files.end()) return std::nullopt;
    return found->length;
}

bool write_journal(const platform::Directory& directory, const Journal& journal) {
    std::string text(first_line);
    text += "merged ";
    put_number(text, journal.merged_index);
    put_number(text, journal.merged_size);
    put_number(text, journal.merged_modified);
    put_name(text, journal.merged_name);
    for (const JournaledFile& file : journal.sdf_files) {
        text += "sdf ";
        put_number(text, file.index);
        put_number(text, file.length);
        put_name(text, file.name);
    }
    const std::uint64_t sum = checksum(text);
    text += "end ";
    put_number(text, sum);
    text += '\n';
    return platform::write_own_file_durably(directory, journal_name, text);
}

FoundJournal read_journal(const platform::Directory& directory) {
    if (!platform::name_taken(directory, journal_name)) return {FoundJournal::State::none, {}};
    const std::optional<std::string> text = platform::read_whole_file(directory, journal_name);
    if (!text) return {FoundJournal::State::unreadable, {}};
    std::optional<Journal> journal = parsed(*text);
    if (!journal) return {FoundJournal::State::unfinished, {}};
    return {FoundJournal::State::found, std::move(*journal)};
}

bool remove_journal(const platform::Directory& directory) { return platform::remove_name(directory, journal_name); }
