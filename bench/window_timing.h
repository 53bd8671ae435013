// The time from spawning the setup program with its window to that window
// being mapped, watched through the X server.
#pragma once

#include <string>

namespace bench {

// What timeToWindow measures, in seconds; -1 where it could not.
struct WindowTiming {
  double mapped = -1;  // from the spawn to the first top-level window mapped
  double ended = -1;   // from the SIGTERM sent then to the program's end
  bool killed = false; // it outlived the SIGTERM and was killed
  bool endedFirst = false;  // it ended before any window was mapped,
  int status = 0;           // with this exit status (-1: by a signal)
};

// Spawns the setup program (with its window) on the package in packageDir
// and waits for its first top-level window to be mapped, then sends it
// SIGTERM, which outside the copy ends it at once.
WindowTiming timeToWindow(const std::string& setup, const std::string& packageDir, const std::string& home,
                          const std::string& temp, const std::string& logFile);

// Whether the X server of DISPLAY can be reached: "" when it can, else why not.
std::string displayProblem();

}  // namespace bench
