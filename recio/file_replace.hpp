// Files written beside the file they replace. The new content goes to a
// temporary name of this process, created exclusively (never through a
// symbolic link, never over a file found there), and is checked and closed
// before it is renamed over the old file: a run that fails or is stopped
// leaves the old file as it was.
#pragma once
#include <string>
#include <string_view>

namespace recio {

// file + "." + process id + ".new"
std::string temporary_name(const std::string& file);

// Creates `temporary` exclusively and writes `text` to it, flushed and closed;
// `synced`: also on the disk before it is closed (fsync). A failure throws
// vesk::Error naming `what`, the file and the system's reason, and removes
// what was created.
void write_new_file(const std::string& temporary, std::string_view text, std::string_view what,
                    bool synced = false);

// Puts the folder of `file` on the disk (fsync), so that a rename into it
// survives a crash; throws vesk::Error naming `what`.
void sync_folder_of(const std::string& file, std::string_view what);

// Renames `from` over `to`; a failure throws vesk::Error naming `what`.
void rename_file(const std::string& from, const std::string& to, std::string_view what);

// Removes the temporaries of `file` left by runs that were killed: names of
// the form temporary_name() gives whose process no longer exists.
void remove_stale_temporaries(const std::string& file);

// `temporary` is removed by remove_pending_temporaries(), which the program's
// main calls however the run ends, unless keep_at_end() is called for it
// first (once it has been renamed): a run that stops half way leaves nothing
// behind.
void remove_at_end(const std::string& temporary);
void keep_at_end(const std::string& temporary);
void remove_pending_temporaries();

// Copies `file` to `copy` through a temporary of `copy`, so that `copy` is
// either the old one or the whole new one; throws vesk::Error naming the
// file, or `what` with the system's reason.
void copy_file(const std::string& file, const std::string& copy, std::string_view what);

}  // namespace recio
