// One vortan run per experiment at a time: two runs would write the same
// results file and listing. The lock is a flock on stem + ".VORTAN.lock",
// which the kernel releases when the process ends however it ends; the file
// holds the process id of the run that has it, for the message of a second run.
#pragma once
#include <string>

namespace vesk {

// Takes the lock of the experiment `stem` until release_experiment_lock(),
// or throws vesk::Error naming the run that holds it. Taken twice it is
// held once.
void lock_experiment(const std::string& stem);
// Removes the lock file and gives the lock up; main calls it however the run
// ends (the kernel gives it up anyway when the process ends).
void release_experiment_lock();

std::string lock_file_name(const std::string& stem);

}  // namespace vesk
