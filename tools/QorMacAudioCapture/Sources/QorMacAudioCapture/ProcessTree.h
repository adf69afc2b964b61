// The processes a capture covers when it names a process: the process and all its descendants,
// followed while the capture runs, because applications commonly play from helper processes that
// they start only when audio begins.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "AudioHardware.h"

namespace qor {

// Main thread only: the capture keeps one and updates it whenever the process list changes.
class ProcessTree {
  public:
    // The audio objects, ascending, of every listed process that is one of `chosen` or descends
    // from one by parent process id, or that the system holds one of the tree's processes
    // responsible for (with its own descendants): applications play through services that the
    // system starts for them, outside their tree. A process once found in the tree stays in it
    // while its object exists: when an intermediate process exits, the kernel gives its children a
    // new parent, and they would otherwise drop out of the capture for no reason of their own.
    // Their own new children join through them.
    std::vector<AudioObjectID> update(const std::set<std::int32_t>& chosen,
                                      const std::vector<AudioProcess>& processes,
                                      Workspace& workspace);

  private:
    std::map<AudioObjectID, std::int32_t> members_;  // object -> its process
};

}  // namespace qor
