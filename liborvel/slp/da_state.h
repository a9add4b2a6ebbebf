// da_state.h: the directory agent's state file.
//
// The file is replaced atomically: the snapshot goes to FILE.tmp, is
// fsync'ed, renamed over FILE, and the directory is fsync'ed, so a crash
// leaves either the old or the new snapshot, never a torn one.
// Not thread-safe for the same path; blocks for the duration of the I/O.
#ifndef ORVEL_LIBORVEL_SLP_DA_STATE_H_
#define ORVEL_LIBORVEL_SLP_DA_STATE_H_

#include <string>

namespace orvel::slp {

// Writes content to path atomically.  Returns "" on success, otherwise a
// message such as "write /var/lib/x.tmp: No space left on device"; the old
// file is then untouched.
std::string WriteFileAtomic(const std::string& path, const std::string& content);

// Reads the whole file into *content.  Returns "" on success (a missing
// file counts as empty content), else a message.
std::string ReadStateFile(const std::string& path, std::string* content);

}  // namespace orvel::slp

#endif  // ORVEL_LIBORVEL_SLP_DA_STATE_H_
