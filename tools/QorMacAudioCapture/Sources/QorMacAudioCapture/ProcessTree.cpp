#include "ProcessTree.h"

#include <unordered_map>

namespace qor {

namespace {

// Far deeper than any real process tree; ends the walk if a parent table ever loops.
constexpr int kMaximumDepth = 64;

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
    std::unordered_map<std::int32_t, std::optional<std::int32_t>> parents;
    auto parentOf = [&](std::int32_t pid) {
        auto found = parents.find(pid);
        if (found == parents.end()) {
            found = parents.emplace(pid, workspace.parentProcessIdentifier(pid)).first;
        }
        return found->second;
    };
    for (const AudioProcess& process : processes) {
        if (process.object == kAudioObjectUnknown || members.contains(process.object)) {
            continue;
        }
        std::int32_t pid = process.pid;
        for (int depth = 0; depth < kMaximumDepth && pid > 0; ++depth) {
            if (anchors.contains(pid)) {
                members.emplace(process.object, process.pid);
                break;
            }
            const std::optional<std::int32_t> parent = parentOf(pid);
            if (!parent || *parent == pid) {
                break;
            }
            pid = *parent;
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
