// Recovery: the next run's half of the exactly-once protocol
// (exactly_once.h). It finishes, or puts back, what an earlier run of the
// directory left unfinished, as that run's journal tells.
#pragma once

#include <optional>

#include "console/failure.h"
#include "distribute/distribute.h"
#include "platform/files.h"

// Recovers what an earlier run left in the directory, and removes its
// journal, once no run still at work holds it. held are the files of this
// run's own that it holds (its turn). A journal marked finished has only the
// removal of the file read left. Otherwise the merged file deciding is the
// one at the aside name, else the one at the merged file's name:
//  - the journaled file, unchanged, at the aside name: the deletion had begun
//    after every record was on stable storage; it is finished.
//  - any file whose distribution is shown, by content, to be what every SDF
//    file holds past its journaled length (a torn last record included):
//    every SDF file is put back, and the file, given its name back, is
//    distributed whole by the run; a copy delivered again is so distributed
//    exactly once.
//  - no such file, or another one: what the run wrote stays, since it may be
//    the only copy of its records.
//  - the journaled file, with bytes past a journaled length that are not
//    shown to be its distribution's: nothing is changed, the journal stays,
//    and the failure names that SDF file.
// Only the SDF files the journal records are looked at: the run wrote to no other.
[[nodiscard]] std::optional<Failure> recover_interrupted_run(const platform::Directory& directory,
                                                             const OwnFiles& held);
