// Program entry: start-up in its order, the chosen front-end, and shutdown.
#pragma once

namespace vl {

// The whole program. Returns the exit code: 1 after every start-up failure, else the front-end's.
int app_main(int argc, char** argv);

// The text shown when the settings cannot be read.
extern const char kRegistryMessage[];

}  // namespace vl
