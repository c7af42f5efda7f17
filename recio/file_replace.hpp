// Files written beside the file they replace. The new content goes to a
// temporary name that no other run can hold (the process id and 64 random
// bits), created exclusively (never through a symbolic link, never over a
// file found there), and is checked and closed before it is renamed over the
// old file: a run that fails or is stopped leaves the old file as it was.
#pragma once
#include <string>
#include <string_view>

namespace recio {

// file + "." + process id + "." + 16 random hex digits + ".new": a new name
// at every call.
std::string temporary_name(const std::string& file);

// True when `name` (a file name without its folder) has the form a
// temporary of the file named `base` (also without its folder) has; with
// `earlier_form`, also the form earlier versions gave them, base + "." +
// process id + ".new", which a file kept aside may have as well
// (NAME.VORTAN.2.new is the NAME.VORTAN.new of a structure set aside).
bool is_temporary_of(std::string_view name, std::string_view base, bool earlier_form = false);

// Creates `temporary` exclusively and writes `text` to it, flushed and closed;
// `synced`: also on the disk before it is closed (fsync). A failure throws
// vesk::Error naming `what`, the file and the system's reason, and removes
// what was created.
void write_new_file(const std::string& temporary, std::string_view text, std::string_view what,
                    bool synced = false);

// Puts the content of `file` on the disk (fsync); throws vesk::Error naming `what`.
void sync_file(const std::string& file, std::string_view what);

// Puts the folder of `file` on the disk (fsync), so that a rename into it
// survives a crash; throws vesk::Error naming `what`.
void sync_folder_of(const std::string& file, std::string_view what);

// Renames `from` over `to`; a failure throws vesk::Error naming `what`.
void rename_file(const std::string& from, const std::string& to, std::string_view what);

// Removes the temporaries of `file` that runs left behind (killed, or a
// machine that went down): every name of the form is_temporary_of() knows
// (with `earlier_form` as there) that this process is not writing. Call it
// under the lock of the experiment whose file it is, so that no other run
// is writing one; a process id in the name proves nothing, since ids are
// used again.
void remove_stale_temporaries(const std::string& file, bool earlier_form = true);

// `temporary` is removed by remove_pending_temporaries(), which the program's
// main calls however the run ends, unless keep_at_end() is called for it
// first (once it has been renamed): a run that stops half way leaves nothing
// behind.
void remove_at_end(const std::string& temporary);
void keep_at_end(const std::string& temporary);
void remove_pending_temporaries();

// Replaces `file` by `text`: written whole to a temporary of it
// (write_new_file, `synced` as there) and renamed over it; on a failure the
// temporary is removed, the old file is left as it was, and vesk::Error
// names `what`.
void replace_file(const std::string& file, std::string_view text, std::string_view what, bool synced = false);

// Copies `file` to `copy` through a temporary of `copy`, so that `copy` is
// either the old one or the whole new one; throws vesk::Error naming the
// file, or `what` with the system's reason.
void copy_file(const std::string& file, const std::string& copy, std::string_view what);

}  // namespace recio
