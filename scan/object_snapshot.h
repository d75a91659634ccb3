// A copy of objectPath that another thread can read whole while the thread
// handling objects goes on writing: the window's progress line reads it.
#pragma once

#include <string>

namespace scan {

// Publishes the current objectPath (called by the thread that handles
// objects, for each object).
void PublishObjectPath();

// The last published objectPath, never torn between two objects.
std::string PublishedObjectPath();

}  // namespace scan
