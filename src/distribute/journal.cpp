// The journal's file: plain text, one file a line, names given with their
// length so that any byte may stand in them. It is written in parts: the
// first, when the run begins, and one more for each file the run records
// later, and for the removal of the merged file. Each part ends with a line
// that holds a checksum of all before it, so that a part whose writing a
// crash cut short is known for one: a first part cut short makes the journal
// count as none, a later one is left out, since nothing it records was
// touched before it was on stable storage.
//
//   vrtl_sdf journal 3
//   merged <index> <size> <last change> <length of name> <name>
//   sdf <index> <length before the run> <length of name> <name>
//   new <index> <length of name> <name>          (a file the run made)
//   finished <size> <last change>                (the removal has begun, of the file so read)
//   end <checksum>
//
// It is read a piece at a time, so that a file of any size at its name takes
// bounded memory, and trusted only as far as this command could have written
// it. A journal of the build before, "vrtl_sdf journal 2", is one first part
// without "new" lines, and is read the same way.
#include "distribute/journal.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "platform/turns.h"
#include "textfile/names.h"

namespace {

constexpr std::string_view first_line = "vrtl_sdf journal 3\n";
constexpr std::string_view first_line_before = "vrtl_sdf journal 2\n";
constexpr std::string_view merged_word = "merged ";
constexpr std::string_view sdf_word = "sdf ";
constexpr std::string_view new_word = "new ";
constexpr std::string_view finished_word = "finished ";
constexpr std::string_view end_word = "end ";

// No file system takes longer names, and none of the command's does.
constexpr std::size_t longest_name = 255;

// FNV-1a over the bytes of the journal before a line that ends a part.
constexpr std::uint64_t checksum_start = 0xcbf29ce484222325ULL;
void add_to_checksum(std::uint64_t& checksum, char c) {
    checksum = (checksum ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
}

// A name the journal may hold: one this command gives a file of the
// directory. The writer records no other, so that it reads back whatever it
// wrote.
bool is_name_in_directory(std::string_view name) {
    return !name.empty() && name.size() <= longest_name && name != "." && name != ".." && is_plain_file_name(name);
}

bool is_sdf_file_name(std::string_view name) { return is_name_in_directory(name) && has_sdf_extension(name); }

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
    std::uint64_t checksum() const { return checksum_; }
    std::int64_t bytes_read() const { return bytes_read_; }
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
        add_to_checksum(checksum_, c);
        ++bytes_read_;
        return c;
    }

private:
    platform::File& file_;
    std::array<char, 4096> buffer_{};
    std::size_t next_ = 0;
    std::size_t limit_ = 0;
    std::uint64_t checksum_ = checksum_start;
    std::int64_t bytes_read_ = 0;
    bool failed_ = false;
};

// One line of a part after the first: an SDF file, or the mark of the
// removal. Nothing when the line is not one the writer writes.
enum class Line { sdf, made, finished, end, other };

Line line_kind(Reader& reader) {
    const std::optional<char> first = reader.next();
    if (first == sdf_word.front()) return reader.literal(sdf_word.substr(1)) ? Line::sdf : Line::other;
    if (first == new_word.front()) return reader.literal(new_word.substr(1)) ? Line::made : Line::other;
    if (first == finished_word.front()) return reader.literal(finished_word.substr(1)) ? Line::finished : Line::other;
    if (first == end_word.front()) return reader.literal(end_word.substr(1)) ? Line::end : Line::other;
    return Line::other;
}

bool by_index(const JournaledFile& a, const JournaledFile& b) { return a.index < b.index; }

// Sorted by index, the last line recorded for an index standing for it.
void sort_by_index(std::vector<JournaledFile>& files) {
    std::stable_sort(files.begin(), files.end(), by_index);
    const auto same_index = [](const JournaledFile& a, const JournaledFile& b) { return a.index == b.index; };
    const auto last_of_each = std::unique(files.rbegin(), files.rend(), same_index);
    files.erase(files.begin(), last_of_each.base());
}

// The parts after the header, up to the last whole one: a part cut short is
// left out. A name that the writer would never write refuses the journal.
FoundJournal::State read_parts(Reader& reader, Journal& journal) {
    Journal part;  // what the part being read adds
    bool any_part = false;
    for (;;) {
        const std::uint64_t before = reader.checksum();
        JournaledFile file;
        std::string name;
        switch (line_kind(reader)) {
        case Line::sdf:
            if (!reader.number(file.index) || !reader.number(file.length) || !reader.name(name)) break;
            if (!is_sdf_file_name(name)) return FoundJournal::State::refused;
            part.sdf_files.push_back(file);
            continue;
        case Line::made:
            if (!reader.number(file.index) || !reader.name(name)) break;
            if (!is_sdf_file_name(name)) return FoundJournal::State::refused;
            file.created = true;
            part.sdf_files.push_back(file);
            continue;
        case Line::finished:
            if (!reader.number(part.merged_size) || !reader.number(part.merged_modified) || !reader.literal("\n")) break;
            part.finished = true;
            continue;
        case Line::end: {
            std::uint64_t expected = 0;
            if (!reader.number(expected) || !reader.literal("\n") || expected != before) break;
            any_part = true;
            journal.sdf_files.insert(journal.sdf_files.end(), part.sdf_files.begin(), part.sdf_files.end());
            if (part.finished) {
                journal.finished = true;
                journal.merged_size = part.merged_size;
                journal.merged_modified = part.merged_modified;
            }
            journal.written = {reader.checksum(), reader.bytes_read()};
            part = Journal{};
            continue;
        }
        case Line::other: break;
        }
        return any_part ? FoundJournal::State::found : FoundJournal::State::unfinished;
    }
}

// The first line, of this build's journal or of the build's before.
bool read_first_line(Reader& reader) {
    std::string line;
    while (line.size() < first_line.size()) {
        const std::optional<char> c = reader.next();
        if (!c) break;
        line += *c;
    }
    return line == first_line || line == first_line_before;
}

FoundJournal parsed(Reader& reader) {
    FoundJournal found{FoundJournal::State::unfinished, {}};
    Journal& journal = found.journal;
    if (!read_first_line(reader) || !reader.literal(merged_word) || !reader.number(journal.merged_index) ||
        !reader.number(journal.merged_size) || !reader.number(journal.merged_modified) ||
        !reader.name(journal.merged_name)) {
        return found;
    }
    if (!is_name_in_directory(journal.merged_name)) return {FoundJournal::State::refused, {}};
    found.state = read_parts(reader, journal);
    sort_by_index(journal.sdf_files);
    return found;
}

// Writes text to the journal's file a piece at a time, summing it as it goes.
class Writer {
public:
    explicit Writer(Journal& journal) : journal_(journal) {}
    void put(std::string_view bytes) {
        for (const char c : bytes) add_to_checksum(journal_.written.checksum, c);
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
    // Ends the part: its last line holds the sum of all before it.
    bool end_part() {
        const std::uint64_t sum = journal_.written.checksum;
        put(end_word);
        number(sum);
        put("\n");
        flush();
        return written_;
    }

private:
    static constexpr std::size_t piece_size = 64 << 10;
    void flush() {
        written_ = written_ && platform::write_all(journal_.file, text_);
        if (written_) journal_.written.length += static_cast<std::int64_t>(text_.size());
        text_.clear();
    }

    Journal& journal_;
    std::string text_;
    bool written_ = true;
};

// Adds a part and brings it to stable storage.
template <typename Lines>
bool add_part(Journal& journal, Lines&& lines) {
    Writer writer(journal);
    lines(writer);
    return writer.end_part() && platform::sync_file(journal.file);
}

// Opens the journal at its name, once its claim is held: a run still at work
// holds it, and removes it when done, so the name is looked at again then.
FoundJournal claimed_journal(const platform::Directory& directory) {
    for (;;) {
        if (!platform::name_taken(directory, journal_name)) return {FoundJournal::State::none, {}};
        std::optional<platform::OpenedFile> opened =
            platform::open_in(directory, journal_name, platform::Access::read, platform::Links::refused);
        if (!opened) {
            if (!platform::name_taken(directory, journal_name)) continue;
            return {FoundJournal::State::refused, {}};
        }
        if (!platform::is_own_file(opened->file)) return {FoundJournal::State::refused, {}};
        if (!platform::wait_to_claim(opened->file)) return {FoundJournal::State::unreadable, {}};
        if (!platform::is_still(directory, journal_name, opened->status.id, platform::Links::refused)) continue;
        FoundJournal found{FoundJournal::State::found, {}};
        found.journal.file = std::move(opened->file);
        return found;
    }
}

}  // namespace

void SdfNames::add(std::string_view name) {
    joined += name;
    joined += '\0';
}

std::size_t SdfNames::count() const { return static_cast<std::size_t>(std::count(joined.begin(), joined.end(), '\0')); }

bool is_journaled_merged_file(const Journal& journal, const platform::FileStatus& status) {
    return status.id.index == journal.merged_index;
}

bool is_journaled_merged_file_unchanged(const Journal& journal, const platform::FileStatus& status) {
    return is_journaled_merged_file(journal, status) && status.size == journal.merged_size &&
           status.modified == journal.merged_modified;
}

std::optional<JournaledFile> journaled(const Journal& journal, const platform::FileId& id) {
    const auto found = std::lower_bound(journal.sdf_files.begin(), journal.sdf_files.end(),
                                        JournaledFile{id.index, 0}, by_index);
    if (found == journal.sdf_files.end() || found->index != id.index) return std::nullopt;
    return *found;
}

std::optional<Journal> write_journal(const platform::Directory& directory, const std::string& merged_name,
                                     const platform::FileStatus& merged, const SdfNames& sdf_names) {
    std::optional<platform::File> file = platform::create_own_file(directory, journal_name);
    // Claimed before a byte is written; a recovery that took the claim first
    // found it empty and removed it, which the look at the name tells.
    const std::optional<platform::FileStatus> created = file ? platform::file_status(*file) : std::nullopt;
    if (!created || !platform::claim_exclusively(*file) ||
        !platform::is_still(directory, journal_name, created->id, platform::Links::refused)) {
        return std::nullopt;
    }
    Journal journal{.merged_name = merged_name,
                    .merged_index = merged.id.index,
                    .merged_size = merged.size,
                    .merged_modified = merged.modified,
                    .sdf_files = {}};
    journal.file = std::move(*file);
    journal.written.checksum = checksum_start;
    const bool written = add_part(journal, [&](Writer& writer) {
        writer.put(first_line);
        writer.put(merged_word);
        writer.number(journal.merged_index);
        writer.number(journal.merged_size);
        writer.number(journal.merged_modified);
        writer.name(journal.merged_name);
        for (std::string_view rest = sdf_names.joined; !rest.empty();) {
            const std::string_view name = rest.substr(0, rest.find('\0'));
            rest.remove_prefix(std::min(rest.size(), name.size() + 1));
            const std::optional<platform::FileStatus> status =
                is_sdf_file_name(name) ? platform::status_in(directory, name) : std::nullopt;
            if (!status) continue;
            writer.put(sdf_word);
            writer.number(status->id.index);
            writer.number(status->size);
            writer.name(name);
            journal.sdf_files.push_back({status->id.index, status->size});
        }
    });
    if (!written || !platform::sync_directory(directory)) {
        static_cast<void>(remove_journal(directory, journal));
        return std::nullopt;
    }
    sort_by_index(journal.sdf_files);
    return journal;
}

bool record_first_open(Journal& journal, const platform::FileStatus& status, std::string_view name, bool created) {
    const std::optional<JournaledFile> known = journaled(journal, status.id);
    if (!created && known && !known->created && known->length == status.size) return true;
    // Only a name the journal can read back: the distribution writes to no other.
    if (!is_sdf_file_name(name)) return false;
    return add_part(journal, [&](Writer& writer) {
        writer.put(created ? new_word : sdf_word);
        writer.number(status.id.index);
        if (!created) writer.number(status.size);
        writer.name(name);
    });
}

bool mark_finished(Journal& journal, const platform::FileStatus& as_read) {
    journal.before_finished = journal.written;
    journal.finished = true;
    return add_part(journal, [&](Writer& writer) {
        writer.put(finished_word);
        writer.number(as_read.size);
        writer.number(as_read.modified);
        writer.put("\n");
    });
}

bool unmark_finished(Journal& journal) {
    journal.finished = false;
    journal.written = journal.before_finished;
    return platform::truncate_file(journal.file, journal.written.length) && platform::sync_file(journal.file);
}

FoundJournal read_journal(const platform::Directory& directory) {
    FoundJournal found = claimed_journal(directory);
    if (found.state != FoundJournal::State::found) return found;
    Reader reader(found.journal.file);
    FoundJournal read = parsed(reader);
    if (reader.failed()) return {FoundJournal::State::unreadable, {}};
    read.journal.file = std::move(found.journal.file);
    return read;
}

bool remove_journal(const platform::Directory& directory, Journal& journal) {
    return platform::remove_held(directory, journal_name, journal.file);
}
