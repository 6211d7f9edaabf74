#include "tools/performance/performance_clip.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <unordered_map>

#if TELMORA_HAVE_ASSIMP
#include <assimp/config.h>
#include <assimp/scene.h>

#include <assimp/Importer.hpp>
#endif

namespace telmora {

#if TELMORA_HAVE_ASSIMP
namespace {

glm::mat4 toGlm(const aiMatrix4x4& m) {
    // Assimp matrices are row-major; GLM's are column-major.
    return glm::mat4(m.a1, m.b1, m.c1, m.d1, m.a2, m.b2, m.c2, m.d2, m.a3, m.b3, m.c3, m.d3, m.a4,
                     m.b4, m.c4, m.d4);
}

glm::quat toGlm(const aiQuaternion& q) {
    return glm::quat(q.w, q.x, q.y, q.z);
}

// Importers add nodes of their own for pivots and scenes ("$AssimpFbx$..." helpers, a
// "<BVH_Root>"-style wrapper); they are transforms, not joints of the performer.
bool isHelperNode(const aiNode* node) {
    const std::string name = node->mName.C_Str();
    return name.find("$AssimpFbx$") != std::string::npos || name.empty() ||
           (name.front() == '<' && name.back() == '>');
}

// Sample one key track at a time in ticks: the nearest keys, interpolated. A track without
// keys holds `rest`. (The importer's validation is off, so a track may well have none.)
template <typename Key, typename Value, typename Mix>
Value sampleKeys(const Key* keys, unsigned count, double ticks, const Value& rest, Mix mix) {
    if (count == 0 || keys == nullptr) return rest;
    if (count == 1 || ticks <= keys[0].mTime) return keys[0].mValue;
    if (ticks >= keys[count - 1].mTime) return keys[count - 1].mValue;
    const Key* upper = std::upper_bound(keys, keys + count, ticks,
                                        [](double t, const Key& k) { return t < k.mTime; });
    const Key* lower = upper - 1;
    const double span = upper->mTime - lower->mTime;
    const float t = span > 0.0 ? static_cast<float>((ticks - lower->mTime) / span) : 0.0f;
    return mix(lower->mValue, upper->mValue, t);
}

// The importer's BVH tokens: runs of non-space characters, except that a brace starting one
// stands alone ("}MOTION" is two tokens).
class BvhTokens {
public:
    explicit BvhTokens(const std::string& text) : text_(text) {}
    bool next(std::string& token) {
        const auto space = [&](std::size_t i) {
            return std::isspace(static_cast<unsigned char>(text_[i])) != 0;
        };
        while (at_ < text_.size() && space(at_)) ++at_;
        if (at_ == text_.size()) return false;
        const std::size_t start = at_++;
        if (text_[start] != '{' && text_[start] != '}')
            while (at_ < text_.size() && !space(at_)) ++at_;
        token.assign(text_, start, at_ - start);
        return true;
    }

private:
    const std::string& text_;
    std::size_t at_ = 0;

public:
    // The line (from 1) the last token read is on.
    std::size_t line() const {
        return 1 + static_cast<std::size_t>(
                       std::count(text_.begin(), text_.begin() + static_cast<long>(at_), '\n'));
    }
};

// The largest magnitude a take's value may have: a translation beyond it puts a joint further
// than a kilometre away in centimetres, and no rotation needs it.
constexpr double kLargestTakeValue = 1e5;

// Assimp's BVH importer sizes its buffers by the counts a file declares before it reads what
// they count, so a corrupt count ("Frames: -91" reads as four billion) asks for gigabytes. Each
// counted item takes at least two bytes, a channel's name or a value and a separator: a BVH file
// declaring fewer than none, or more channels, or frames of values, than its bytes can hold gets
// a message here instead. Other files pass.
std::string implausibleCount(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return {};  // the importer has its own message for that
    const std::string text((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    const double most = static_cast<double>(text.size() / 2);
    BvhTokens tokens(text);
    std::string token;
    if (!tokens.next(token) || token != "HIERARCHY") return {};
    bool motion = false;
    double channels = 0.0;
    while (tokens.next(token)) {
        motion = motion || token == "MOTION";
        const bool frames = motion && token == "Frames:";
        if (!frames && (motion || token != "CHANNELS")) continue;
        if (!tokens.next(token)) return {};
        // The importer reads counts as floating-point numbers.
        const double declared = std::strtod(token.c_str(), nullptr);
        const double values = frames ? declared * std::max(channels, 1.0) : channels + declared;
        if (!(declared >= 0.0 && values <= most)) {
            return "the take declares " + token.substr(0, 32) + (frames ? " frames" : " channels") +
                   ", which its " + std::to_string(text.size()) + " bytes cannot hold";
        }
        if (frames) break;  // the frame time and the frames' values follow
        channels = values;
    }
    // "Frame Time: t", then the values: a time that is no positive number leaves nothing to
    // play at, and a value that is not finite or impossibly large is a broken file, not a take.
    while (tokens.next(token)) {
        if (token != "Time:") continue;
        if (!tokens.next(token)) return {};
        const double frameTime = std::strtod(token.c_str(), nullptr);
        if (!std::isfinite(frameTime) || !(frameTime > 0.0))
            return "line " + std::to_string(tokens.line()) + ": the frame time " +
                   token.substr(0, 32) + " is not a positive number of seconds";
        break;
    }
    while (tokens.next(token)) {
        const double value = std::strtod(token.c_str(), nullptr);
        if (!std::isfinite(value) || std::abs(value) > kLargestTakeValue)
            return "line " + std::to_string(tokens.line()) + ": the value " + token.substr(0, 32) +
                   " is not finite or puts a joint further than 1 km away";
    }
    return {};
}

struct SceneNode {
    const aiNode* node;
    int parent;               // index into the flattened node list, -1 for the scene root
    const aiNodeAnim* track;  // animation track of this node, if any
    int joint;                // index of the joint it is, -1 for helpers
};

void flatten(const aiNode* node, int parent, std::vector<SceneNode>& out) {
    const int self = static_cast<int>(out.size());
    out.push_back({node, parent, nullptr, -1});
    for (unsigned i = 0; i < node->mNumChildren; ++i) flatten(node->mChildren[i], self, out);
}

}  // namespace
#endif

float guessMetresPerUnit(float restHeightUnits) {
    // A rest pose measured from the ankles or toes up to the head is about 1.45 m for an adult.
    constexpr float kTypicalRestHeightMetres = 1.45f;
    constexpr float kUnits[] = {0.056444f /* CMU */, 0.01f, 0.0254f, 0.001f, 1.0f};
    if (!(restHeightUnits > 0.0f) || !std::isfinite(restHeightUnits)) return 1.0f;
    float best = 1.0f;
    float bestMiss = std::numeric_limits<float>::max();
    for (float unit : kUnits) {
        const float miss = std::fabs(std::log(restHeightUnits * unit / kTypicalRestHeightMetres));
        if (miss < bestMiss) {
            bestMiss = miss;
            best = unit;
        }
    }
    return best;
}

int PerformanceClip::findJoint(const std::string& name) const {
    for (size_t i = 0; i < joints_.size(); ++i)
        if (joints_[i].name == name) return static_cast<int>(i);
    return -1;
}

#if !TELMORA_HAVE_ASSIMP
// Builds without the importer (the Windows cross build) read no take files; the synthetic
// performance still works.
std::optional<PerformanceClip> PerformanceClip::load(const std::string& path, std::string& error) {
    error = path + ": this build reads no take files (built without Assimp)";
    return std::nullopt;
}
#else
std::optional<PerformanceClip> PerformanceClip::load(const std::string& path, std::string& error) {
    std::error_code folder;
    if (std::filesystem::is_directory(path, folder)) {
        error = path + ": a folder, not a take file";
        return std::nullopt;
    }
    if (std::string problem = implausibleCount(path); !problem.empty()) {
        error = path + ": " + problem;
        return std::nullopt;
    }
    Assimp::Importer importer;
    // Keep the file's own transforms; pivot helpers would only add nodes between joints.
    importer.SetPropertyBool(AI_CONFIG_IMPORT_FBX_PRESERVE_PIVOTS, false);
    const aiScene* scene = importer.ReadFile(path, 0);
    if (scene == nullptr) {
        error = importer.GetErrorString();
        return std::nullopt;
    }
    return fromScene(*scene, path, error);
}

std::optional<PerformanceClip> PerformanceClip::fromScene(const aiScene& scene,
                                                          const std::string& path,
                                                          std::string& error) {
    if (scene.mRootNode == nullptr || scene.mNumAnimations == 0 || scene.mAnimations == nullptr ||
        scene.mAnimations[0] == nullptr) {
        error = path + ": the file holds no animation";
        return std::nullopt;
    }
    const aiAnimation* animation = scene.mAnimations[0];

    std::vector<SceneNode> nodes;
    flatten(scene.mRootNode, -1, nodes);
    std::unordered_map<std::string, const aiNodeAnim*> tracks;
    for (unsigned i = 0; i < animation->mNumChannels; ++i)
        tracks[animation->mChannels[i]->mNodeName.C_Str()] = animation->mChannels[i];

    PerformanceClip clip;
    // The take's frames are the keys of its most densely keyed track.
    const aiNodeAnim* timeline = nullptr;
    for (SceneNode& n : nodes) {
        auto found = tracks.find(n.node->mName.C_Str());
        if (found != tracks.end()) {
            n.track = found->second;
            if (timeline == nullptr || n.track->mNumRotationKeys > timeline->mNumRotationKeys)
                timeline = n.track;
        }
        if (isHelperNode(n.node)) continue;
        // A joint's parent is its nearest ancestor that is a joint.
        int ancestor = n.parent;
        while (ancestor >= 0 && nodes[ancestor].joint < 0) ancestor = nodes[ancestor].parent;
        n.joint = static_cast<int>(clip.joints_.size());
        clip.joints_.push_back({n.node->mName.C_Str(), ancestor >= 0 ? nodes[ancestor].joint : -1});
    }
    if (timeline == nullptr || timeline->mNumRotationKeys == 0 || clip.joints_.empty()) {
        error = path + ": the animation has no keys";
        return std::nullopt;
    }

    const double ticksPerSecond =
        animation->mTicksPerSecond > 0.0 ? animation->mTicksPerSecond : 25.0;
    clip.frameCount_ = static_cast<int>(timeline->mNumRotationKeys);
    const double firstTick = timeline->mRotationKeys[0].mTime;
    const double lastTick = timeline->mRotationKeys[clip.frameCount_ - 1].mTime;
    const double ticksPerFrame =
        clip.frameCount_ > 1 ? (lastTick - firstTick) / (clip.frameCount_ - 1) : 1.0;
    clip.frameRate_ = ticksPerFrame > 0.0 ? ticksPerSecond / ticksPerFrame : ticksPerSecond;
    // A frame time of 0 (or one too small for a double's reciprocal) leaves no rate to play at.
    if (!std::isfinite(clip.frameRate_) || !(clip.frameRate_ > 0.0)) {
        error = path + ": the take's frame time gives no usable frame rate";
        return std::nullopt;
    }

    const size_t jointCount = clip.joints_.size();
    std::vector<glm::mat4> nodeWorld(nodes.size());
    auto evaluate = [&](bool animated, double ticks, glm::vec3* positions, glm::quat* rotations) {
        for (size_t i = 0; i < nodes.size(); ++i) {
            const SceneNode& n = nodes[i];
            glm::mat4 local = toGlm(n.node->mTransformation);
            if (animated && n.track != nullptr) {
                const aiNodeAnim* t = n.track;
                // What a track without keys holds: the node's own rest transform.
                aiVector3D restScaling, restPosition;
                aiQuaternion restRotation;
                n.node->mTransformation.Decompose(restScaling, restRotation, restPosition);
                auto lerp = [](const aiVector3D& a, const aiVector3D& b, float s) {
                    return a + (b - a) * s;
                };
                const aiVector3D p =
                    sampleKeys(t->mPositionKeys, t->mNumPositionKeys, ticks, restPosition, lerp);
                const aiQuaternion r =
                    sampleKeys(t->mRotationKeys, t->mNumRotationKeys, ticks, restRotation,
                               [](const aiQuaternion& a, const aiQuaternion& b, float s) {
                                   aiQuaternion out;
                                   aiQuaternion::Interpolate(out, a, b, s);
                                   return out;
                               });
                const aiVector3D sc =
                    sampleKeys(t->mScalingKeys, t->mNumScalingKeys, ticks, restScaling, lerp);
                glm::mat4 m = glm::mat4_cast(glm::normalize(toGlm(r)));
                m = m * glm::scale(glm::mat4(1.0f), {sc.x, sc.y, sc.z});
                m[3] = glm::vec4(p.x, p.y, p.z, 1.0f);
                local = m;
            }
            nodeWorld[i] = n.parent >= 0 ? nodeWorld[n.parent] * local : local;
            if (n.joint < 0) continue;
            // Rotation from the upper 3x3 with its columns' scale divided out.
            const glm::mat4& world = nodeWorld[i];
            glm::mat3 basis(world);
            for (int c = 0; c < 3; ++c) {
                const float len = glm::length(basis[c]);
                if (len > 1e-12f) basis[c] /= len;
            }
            const glm::quat rotation = glm::quat_cast(basis);
            positions[n.joint] = glm::vec3(world[3]);
            rotations[n.joint] = glm::normalize(rotation);
        }
    };

    clip.restPositions_.resize(jointCount);
    clip.restRotations_.resize(jointCount);
    evaluate(false, 0.0, clip.restPositions_.data(), clip.restRotations_.data());
    clip.worldPositions_.resize(jointCount * clip.frameCount_);
    clip.worldRotations_.resize(jointCount * clip.frameCount_);
    for (int f = 0; f < clip.frameCount_; ++f) {
        const double ticks = firstTick + f * ticksPerFrame;
        evaluate(true, ticks, &clip.worldPositions_[f * jointCount],
                 &clip.worldRotations_[f * jointCount]);
    }

    float lowest = std::numeric_limits<float>::max();
    float highest = std::numeric_limits<float>::lowest();
    for (const glm::vec3& p : clip.restPositions_) {
        lowest = std::min(lowest, p.y);
        highest = std::max(highest, p.y);
    }
    clip.metresPerUnit_ = guessMetresPerUnit(highest - lowest);
    return clip;
}

#endif

}  // namespace telmora
