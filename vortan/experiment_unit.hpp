// What vortan checks of its experiment's files as a unit, under the lock
// and before it writes anything: a replacement that cif2exp left half done
// (the experiment file the run opened may be the old one), and outputs that
// are the same file as an input under another name.
#pragma once
#include <string>

namespace vesk {

// Completes a replacement a stopped cif2exp left (expfile/unit_replace.hpp)
// and stops the run, since it opened the experiment file before; the lines
// of what was done go to the terminal. Nothing happens when there was none.
void refuse_unfinished_replace(const std::string& stem);

// Throws vesk::Error when a file this run may write (listing, results and
// marks files with their kept copies, publication CIF, drawings) is the
// same file (device and inode) as one it reads: the experiment and
// covariance files, NAME.CIFSRC, the paper CIF `paper_cif` or the CIF that
// NAME.CIFSRC names.
void refuse_outputs_that_are_inputs(const std::string& stem, const std::string& paper_cif);

}  // namespace vesk
