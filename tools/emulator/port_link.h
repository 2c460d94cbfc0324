// The symlink that puts the emulator's port where the library looks. Only a
// symlink is ever replaced (on a cabinet, the udev link to the controller),
// and it is put back when the emulator ends.
#pragma once

#include <string>

namespace emulator {

struct PortLink {
    std::string path;
    std::string target;       // the emulator's port
    bool replaced = false;    // a symlink was there...
    std::string previous;     // ...pointing here
};

// What is at link.path now, noted in link; an error naming it when it is
// neither a symlink nor nothing.
std::string LookAtLink(PortLink &link);

// Points link.path at link.target: a new symlink, or one renamed over the old
// symlink so that the path never goes missing. An error, or empty.
std::string PlaceLink(const PortLink &link);

// Puts back the symlink that was there, or removes ours. Leaves the path as
// it is when it no longer points at the target (someone else changed it).
// An error, or empty.
std::string RestoreLink(const PortLink &link);

} // namespace emulator
