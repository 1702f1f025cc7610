// Putting SDF files back as they were before a distribution: after a run
// that failed, and after one that a crash or a kill cut short.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "console/messages.h"
#include "distribute/distribute.h"
#include "distribute/journal.h"

// Puts every file in written back as it was before the distribution: cut
// back to its length then, or removed when the journal did not know it (the
// distribution created it). A file is touched only while it is still the
// file written and holds exactly what the distribution left in it, so that no
// byte another program wrote is ever cut. Gives the name of a file it could
// not put back.
[[nodiscard]] std::optional<std::string> undo_distribution(const std::string& directory_text,
                                                           const std::vector<WrittenFile>& written,
                                                           const Journal& journal);

// Settles a distribution of the directory that did not finish, as its journal
// tells, and removes the journal. When the merged file is gone, or another
// file stands in its place, the distribution had finished, or its file was
// taken away: what it wrote stays. When the merged file is still there, every
// SDF file goes back to its state before the distribution, provided that all
// it holds past that state is shown to be the start of what the distribution
// writes to it; otherwise nothing is changed, the journal stays, and the
// failure names the SDF file.
[[nodiscard]] std::optional<Failure> settle_interrupted_distribution(const std::string& directory_text);
