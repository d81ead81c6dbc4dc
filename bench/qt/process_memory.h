// SPDX-License-Identifier: GPL-3.0-or-later
// What the benchmark's own process holds, for memory figures.
#pragma once

#include <malloc.h>
#include <unistd.h>

#include <fstream>

namespace gorvane::bench {

// Resident size, from /proc.
inline double ResidentMiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0;
  long resident = 0;
  if (!(statm >> pages >> resident)) return 0;
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1048576.0;
}

// Bytes the program holds from malloc, in all arenas.
inline double HeapMiB() {
  const struct mallinfo2 heap = mallinfo2();
  return static_cast<double>(heap.uordblks + heap.hblkhd) / 1048576.0;
}

}  // namespace gorvane::bench
