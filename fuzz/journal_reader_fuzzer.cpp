// Fuzz target: the journal's reader, on any bytes at the journal's name.
//
// Input: the journal's bytes as they are. The reader must neither crash nor
// take memory that grows with the file, and it may accept only what the
// writer could have written: a journal it finds, written again, is the same
// bytes, and every name in it stays in the directory.
#include <cstdint>
#include <span>
#include <string>

#include <sys/stat.h>

#include "distribute/journal.h"
#include "fuzz_support.h"
#include "textfile/names.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    fuzzing::set_current_input(input);
    const std::string directory_path = fuzzing::scratch_root() + "/directory";
    fuzzing::make_empty_directory(directory_path);
    const std::string journal_path = directory_path + "/" + std::string(journal_name);
    fuzzing::write_file(journal_path, std::string(reinterpret_cast<const char*>(data), size));
    chmod(journal_path.c_str(), 0644);
    const std::optional<platform::Directory> directory = platform::open_directory(directory_path + "/");
    fuzzing::expect_true("the directory opens", directory.has_value());

    const FoundJournal found = read_journal(*directory);
    if (found.state != FoundJournal::State::found) return 0;
    for (const JournaledFile& file : found.journal.sdf_files) {
        fuzzing::expect_true("an SDF file's name stays in the directory", is_plain_file_name(file.name));
    }
    fuzzing::expect_true("the merged file's name stays in the directory", is_plain_file_name(found.journal.merged_name));
    const std::string again_path = directory_path + "/again";
    fuzzing::make_empty_directory(again_path);
    const std::optional<platform::Directory> again = platform::open_directory(again_path + "/");
    fuzzing::expect_true("the journal is written again", write_journal(*again, found.journal));
    fuzzing::expect_equal("the journal written again", std::string(reinterpret_cast<const char*>(data), size),
                          fuzzing::read_file(again_path + "/" + std::string(journal_name)));
    return 0;
}
