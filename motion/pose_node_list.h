#pragma once
// The body solver's working pose: one PoseNode per bone slot of a Skeleton (all 120), flat and
// indexed by bone index, each node's parent pointing into the same list.
//
// World queries come in two evaluations that compute the same quantities:
//  - kCached: each node's world rotation and position are kept and rebuilt from the parent's
//    (parentWorldRot * rotation, parentWorldPos + parentWorldRot * position) only when the node
//    or one of its ancestors has changed since the last query. This is the real-time path.
//  - kRecursive: every query walks the parent chain with PoseNode's own matrices, nothing kept.
//    Slow; it is the straightforward reading the cached path is checked against.
// Scale is (1, 1, 1) on every node, which is what lets the cached path compose rotations and
// offsets instead of matrices; the two agree up to float rounding.
//
// Writes go through setRotation/setPosition so the cache knows what went stale. The list is
// neither copyable nor movable: parents are addresses inside it.

#include <array>
#include <cstdint>
#include <type_traits>

#include "motion/pose_node.h"
#include "motion/skeleton.h"

namespace telmora {

static_assert(std::is_trivially_destructible<PoseNode>::value,
              "pose nodes are built in place and never destroyed one by one");

enum class NodeEvaluation {
    kCached,
    kRecursive,
};

class PoseNodeList {
public:
    // Builds one node per bone slot 0..nodeCount-1 (at most 120): position = scale * offset,
    // rotation copied, scale 1. A parent that is -1, or that does not precede its child (the
    // unused slots of an empty skeleton make bone 0 its own parent), gives a root node, so
    // every query terminates. Indices at or past nodeCount are not in the list.
    PoseNodeList(const Skeleton& skeleton, float scale,
                 NodeEvaluation evaluation = NodeEvaluation::kCached,
                 std::int32_t nodeCount = kMaxBones);
    PoseNodeList(const PoseNodeList&) = delete;
    PoseNodeList& operator=(const PoseNodeList&) = delete;

    std::int32_t size() const { return count_; }
    // True for a bone index inside the list.
    bool contains(std::int32_t index) const {
        return static_cast<std::uint32_t>(index) < static_cast<std::uint32_t>(count_);
    }

    const PoseNode& operator[](std::int32_t index) const { return nodes()[index]; }
    // Parent's bone index, -1 for a root node.
    std::int32_t parentIndex(std::int32_t index) const { return parents_[index]; }

    // The queries and writes are inline so that the solvers keep the values in registers:
    // returned from an out-of-line call, a quaternion comes back in two halves that the
    // caller stores and reloads whole, a store-forwarding stall on every call.
    glm::vec3 worldPosition(std::int32_t index) const {
        if (evaluation_ == NodeEvaluation::kRecursive) return nodes()[index].worldPosition();
        if (!fresh_.test(index)) refresh(index);
        return worldPos_[index];
    }
    glm::quat worldRotation(std::int32_t index) const {
        if (evaluation_ == NodeEvaluation::kRecursive) return nodes()[index].worldRotation();
        if (!fresh_.test(index)) refresh(index);
        return worldRot_[index];
    }
    glm::mat4 worldMatrix(std::int32_t index) const;
    // World rotation of the node's parent; the identity for a root.
    glm::quat parentWorldRotation(std::int32_t index) const {
        const std::int32_t p = parents_[index];
        return p < 0 ? kIdentityQuat : worldRotation(p);
    }

    void setRotation(std::int32_t index, const glm::quat& rotation) {
        nodes()[index].rotation = rotation;
        markStale(index);
    }
    void setPosition(std::int32_t index, const glm::vec3& position) {
        nodes()[index].position = position;
        markStale(index);
    }
    // Sets the local rotation that realises world rotation `world`: inverse(parent world) * world.
    void setWorldRotation(std::int32_t index, const glm::quat& world) {
        setRotation(index, glm::inverse(parentWorldRotation(index)) * world);
    }

private:
    // One bit per bone slot. Plain data: only the masks of nodes in the list get written.
    struct BoneMask {
        std::uint64_t words[2];
        bool test(int i) const { return (words[i >> 6] >> (i & 63)) & 1u; }
        void set(int i) { words[i >> 6] |= std::uint64_t{1} << (i & 63); }
        void clear(const BoneMask& other) {
            words[0] &= ~other.words[0];
            words[1] &= ~other.words[1];
        }
        void add(const BoneMask& other) {
            words[0] |= other.words[0];
            words[1] |= other.words[1];
        }
    };

    // Brings the cached world values of `index` (and its stale ancestors) up to date.
    void refresh(std::int32_t index) const;
    // The node's and its descendants' cached values need rebuilding before their next query.
    void markStale(std::int32_t index) {
        if (!subtreesBuilt_) buildSubtrees();
        fresh_.clear(subtree_[index]);
    }
    // Fills subtree_. Only a write needs it, so a list that is only read (the rest pose)
    // never pays for it.
    void buildSubtrees();

    PoseNode* nodes() { return reinterpret_cast<PoseNode*>(nodeStorage_); }
    const PoseNode* nodes() const { return reinterpret_cast<const PoseNode*>(nodeStorage_); }

    std::int32_t count_;
    // Nodes 0..count_-1, constructed in place: default-constructing all 120 each frame would
    // cost more than building the ones in use.
    alignas(PoseNode) unsigned char nodeStorage_[sizeof(PoseNode) * kMaxBones];
    std::array<std::int32_t, kMaxBones> parents_;
    // Each node's own bit and the bits of all its descendants, once subtreesBuilt_.
    std::array<BoneMask, kMaxBones> subtree_;
    bool subtreesBuilt_ = false;
    NodeEvaluation evaluation_;
    // Cache of the kCached evaluation. fresh_ marks nodes whose cached values are current; a
    // node is only ever fresh if its parent is.
    mutable BoneMask fresh_{{0, 0}};
    mutable std::array<glm::quat, kMaxBones> worldRot_;
    mutable std::array<glm::vec3, kMaxBones> worldPos_;
};

}  // namespace telmora
