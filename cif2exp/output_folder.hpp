// The folder the experiment's files go into, checked before any CIF is
// read, so that a typing error in it is reported as such and not as a file
// that cannot be created.
#pragma once
#include <string>

namespace cif2exp {

// Throws vesk::Error naming the folder, what is wrong and the system's
// reason when `folder` (blank: the current one) is not a folder that the
// files can be written into.
void check_output_folder(const std::string& folder);

}  // namespace cif2exp
