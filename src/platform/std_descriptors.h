// The standard descriptors at start-up: a program started with one of them closed must not hand
// that number to the first file, socket or eventfd it opens, which its prints would then reach.
#pragma once

namespace vl {

// Opens /dev/null (read and write) on each of descriptors 0, 1 and 2 that is not open. Returns
// false when one could not be opened. Main thread, first thing in main.
bool std_descriptors_ensure();

}  // namespace vl
