// One program at a time per experiment. An experiment is one unit of files:
// NAME.EXP, NAME.CMT, NAME.CIFSRC and everything vortan keeps or writes for
// it (NAME.VORTAN, NAME.TORHB, the listing, the CIF, the drawings). cif2exp
// and vortan both take the unit's lock before they touch any of them, so
// that no run reads one structure's files beside another's.
//
// The lock is a flock on stem + ".VORTAN.lock", which the kernel releases
// when the process ends however it ends; the file holds the process id and
// the program of the holder, for the message of a second one. It is opened
// without following a symbolic link and refused unless it is a plain file
// with one name: a lock file linked to another file must not truncate it.
#pragma once
#include <string>

namespace vesk {

// Takes the lock of the experiment `stem` for `program` until
// release_experiment_lock(), or throws vesk::Error naming the process that
// holds it. Taken twice it is held once.
void lock_experiment(const std::string& stem, const std::string& program);
// Removes the lock file and gives the lock up; main calls it however the run
// ends (the kernel gives it up anyway when the process ends).
void release_experiment_lock();

std::string lock_file_name(const std::string& stem);

}  // namespace vesk
