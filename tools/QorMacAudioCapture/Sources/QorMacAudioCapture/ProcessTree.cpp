#include "ProcessTree.h"

#include <unordered_map>

namespace qor {

namespace {

// Far deeper than any real process tree; ends the walk if a parent table ever loops.
constexpr int kMaximumDepth = 64;

// Whether a process belongs to the tree of the anchors: it is one, or its parent belongs, or the
// process the system holds responsible for it does (a service that launchd started for one of
// them). Each process is looked up once per update.
class Lineage {
  public:
    Lineage(const std::set<std::int32_t>& anchors, Workspace& workspace)
        : anchors_(anchors), workspace_(workspace) {}

    bool belongs(std::int32_t pid, int depth = 0) {
        if (pid <= 0 || depth >= kMaximumDepth) {
            return false;
        }
        if (anchors_.contains(pid)) {
            return true;
        }
        // Recorded as an outsider while it is decided, so a loop in the tables ends here.
        if (!known_.emplace(pid, false).second) {
            return known_.at(pid);
        }
        auto through = [&](std::optional<std::int32_t> next) {
            return next && *next != pid && belongs(*next, depth + 1);
        };
        const bool member = through(workspace_.parentProcessIdentifier(pid)) ||
                            through(workspace_.responsibleProcessIdentifier(pid));
        known_[pid] = member;
        return member;
    }

  private:
    const std::set<std::int32_t>& anchors_;
    Workspace& workspace_;
    std::unordered_map<std::int32_t, bool> known_;
};

}  // namespace

std::vector<AudioObjectID> ProcessTree::update(const std::set<std::int32_t>& chosen,
                                               const std::vector<AudioProcess>& processes,
                                               Workspace& workspace) {
    std::map<AudioObjectID, std::int32_t> members;
    std::set<std::int32_t> anchors = chosen;
    for (const AudioProcess& process : processes) {
        auto known = members_.find(process.object);
        if (known != members_.end() && known->second == process.pid) {
            members.emplace(process.object, process.pid);
            anchors.insert(process.pid);
        }
    }
    Lineage lineage(anchors, workspace);
    for (const AudioProcess& process : processes) {
        if (process.object != kAudioObjectUnknown && !members.contains(process.object) &&
            lineage.belongs(process.pid)) {
            members.emplace(process.object, process.pid);
        }
    }
    members_ = std::move(members);
    std::vector<AudioObjectID> objects;
    for (const auto& [object, pid] : members_) {
        objects.push_back(object);
    }
    return objects;
}

}  // namespace qor
