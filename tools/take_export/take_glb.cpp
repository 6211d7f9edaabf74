// take.glb through tinygltf: the model is built in memory, one buffer for everything, and
// written as one binary glTF file.
#include <tiny_gltf.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <glm/gtc/quaternion.hpp>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tools/take_export/take_export.h"
#include "tools/take_export/text_output.h"

namespace telmora {
namespace {

constexpr double kMetresPerCentimetre = 0.01;

// Local transform of one pose with its translation in metres.
glm::dmat4 localMatrixMetres(const JointPose& pose) {
    JointPose metres = pose;
    metres.translation *= kMetresPerCentimetre;
    return jointLocalMatrix(metres);
}

// Flat-shaded triangles, each vertex weighted wholly to one joint.
struct MeshBuilder {
    std::vector<glm::dvec3> positions;
    std::vector<glm::dvec3> normals;
    std::vector<int> owners;  // joint per vertex

    struct Corner {
        glm::dvec3 position;
        int owner;
    };

    void triangle(const Corner& a, Corner b, Corner c, const glm::dvec3& centre) {
        glm::dvec3 normal = glm::cross(b.position - a.position, c.position - a.position);
        // Wind every face outwards, away from the solid's centre.
        if (glm::dot(normal, (a.position + b.position + c.position) / 3.0 - centre) < 0.0) {
            std::swap(b, c);
            normal = -normal;
        }
        const double length = glm::length(normal);
        normal = length > 0.0 ? normal / length : glm::dvec3(0.0, 1.0, 0.0);
        for (const Corner& corner : {a, b, c}) {
            positions.push_back(corner.position);
            normals.push_back(normal);
            owners.push_back(corner.owner);
        }
    }

    // An octahedron from `start` to `end`, widest a fifth of the way along: its tip at `end`
    // belongs to `endOwner`, the rest to `startOwner`, so it follows the bone's length too.
    void octahedron(const glm::dvec3& start, const glm::dvec3& end, double radius, int startOwner,
                    int endOwner) {
        const glm::dvec3 axis = glm::normalize(end - start);
        // Any direction not along the axis gives the ring's plane.
        const glm::dvec3 helper =
            std::fabs(axis.y) < 0.9 ? glm::dvec3(0.0, 1.0, 0.0) : glm::dvec3(1.0, 0.0, 0.0);
        const glm::dvec3 u = glm::normalize(glm::cross(axis, helper));
        const glm::dvec3 v = glm::cross(axis, u);
        const glm::dvec3 ringCentre = start + 0.2 * (end - start);
        const glm::dvec3 ring[4] = {ringCentre + radius * u, ringCentre + radius * v,
                                    ringCentre - radius * u, ringCentre - radius * v};
        for (int i = 0; i < 4; ++i) {
            const Corner a{ring[i], startOwner};
            const Corner b{ring[(i + 1) % 4], startOwner};
            triangle({start, startOwner}, a, b, ringCentre);
            triangle({end, endOwner}, a, b, ringCentre);
        }
    }
};

// Names of what the file holds besides the joints, kept apart from the joints' own names so
// that a reader that finds nodes and channels by name finds each once.
struct SceneNames {
    std::string root = "TakeRoot";
    std::string mesh = "TakeMesh";
    std::string animation = "Take";

    explicit SceneNames(const Take& take) {
        std::set<std::string> used;
        for (const TakeJoint& joint : take.joints) used.insert(joint.name);
        for (std::string* name : {&root, &mesh, &animation}) {
            const std::string base = *name;
            for (int suffix = 2; used.count(*name) != 0; ++suffix)
                *name = base + "_" + std::to_string(suffix);
            used.insert(*name);
        }
    }
};

// The one buffer and its views and accessors, appended to as the model is built.
class BufferWriter {
public:
    explicit BufferWriter(tinygltf::Model& model) : model_(model) { model_.buffers.emplace_back(); }
    void reserve(std::size_t bytes) { model_.buffers[0].data.reserve(bytes); }

    // Floats (or other 4-byte values) as one tightly packed view and an accessor over it.
    template <class Value>
    int accessor(const std::vector<Value>& values, int componentType, int type,
                 std::size_t components, int target = 0) {
        std::vector<unsigned char>& data = model_.buffers[0].data;
        const std::size_t offset = data.size();
        const std::size_t bytes = values.size() * sizeof(Value);
        data.resize(offset + bytes);
        if (bytes > 0) std::memcpy(data.data() + offset, values.data(), bytes);
        // Every view starts on a four-byte boundary.
        data.resize((data.size() + 3) / 4 * 4);
        tinygltf::BufferView view;
        view.buffer = 0;
        view.byteOffset = offset;
        view.byteLength = bytes;
        view.target = target;
        model_.bufferViews.push_back(view);
        tinygltf::Accessor accessor;
        accessor.bufferView = static_cast<int>(model_.bufferViews.size()) - 1;
        accessor.componentType = componentType;
        accessor.type = type;
        accessor.count =
            values.size() * sizeof(Value) / (components * componentSize(componentType));
        model_.accessors.push_back(accessor);
        return static_cast<int>(model_.accessors.size()) - 1;
    }

    // Per-component bounds of float data, which glTF wants for positions and animation input.
    void bounds(int accessorIndex, const float* values, std::size_t count, std::size_t components) {
        std::vector<double> low(components, std::numeric_limits<double>::infinity());
        std::vector<double> high(components, -std::numeric_limits<double>::infinity());
        for (std::size_t i = 0; i < count; ++i)
            for (std::size_t c = 0; c < components; ++c) {
                low[c] = std::min(low[c], static_cast<double>(values[i * components + c]));
                high[c] = std::max(high[c], static_cast<double>(values[i * components + c]));
            }
        model_.accessors[static_cast<std::size_t>(accessorIndex)].minValues = low;
        model_.accessors[static_cast<std::size_t>(accessorIndex)].maxValues = high;
    }

private:
    static std::size_t componentSize(int componentType) {
        return componentType == TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT ? 2 : 4;
    }
    tinygltf::Model& model_;
};

void appendVec3(std::vector<float>& out, const glm::dvec3& v) {
    out.push_back(static_cast<float>(v.x));
    out.push_back(static_cast<float>(v.y));
    out.push_back(static_cast<float>(v.z));
}

tinygltf::Model buildModel(const Take& take) {
    const std::size_t jointCount = take.joints.size();
    const std::size_t keyCount = take.times.size();
    const SceneNames names(take);
    tinygltf::Model model;
    model.asset.version = "2.0";
    model.asset.generator = "TelmoraLink take export";
    BufferWriter buffer(model);
    // The animation's keys are most of the file: a time per key, then per joint and key a
    // translation and a rotation.
    buffer.reserve(keyCount * 4 + jointCount * keyCount * 28 + 65536);

    // Nodes: the root first, the joints after it (node 1 + j), then the skinned mesh. The mesh
    // node is a root of the scene itself: glTF places a skinned mesh by its joints, not by its
    // node, so it belongs to no joint's or the root's transform.
    tinygltf::Node root;
    root.name = names.root;
    model.nodes.push_back(root);
    std::vector<glm::dmat4> bindGlobal(jointCount);
    for (std::size_t j = 0; j < jointCount; ++j) {
        const JointPose& pose = take.poses[0][j];
        tinygltf::Node node;
        node.name = take.joints[j].name;
        const glm::dvec3 t = pose.translation * kMetresPerCentimetre;
        const glm::dquat q = glm::normalize(glm::quat_cast(eulerDegreesToMatrix(pose.rotation)));
        node.translation = {t.x, t.y, t.z};
        node.rotation = {q.x, q.y, q.z, q.w};
        model.nodes.push_back(node);
        const glm::dmat4 local = localMatrixMetres(pose);
        const int parent = take.joints[j].parent;
        if (parent < 0) {
            bindGlobal[j] = local;
            model.nodes[0].children.push_back(static_cast<int>(1 + j));
        } else {
            bindGlobal[j] = bindGlobal[static_cast<std::size_t>(parent)] * local;
            model.nodes[static_cast<std::size_t>(1 + parent)].children.push_back(
                static_cast<int>(1 + j));
        }
    }
    const int meshNode = static_cast<int>(model.nodes.size());
    tinygltf::Node mesh;
    mesh.name = names.mesh;
    mesh.mesh = 0;
    mesh.skin = 0;
    model.nodes.push_back(mesh);
    tinygltf::Scene scene;
    scene.nodes = {0, meshNode};
    model.scenes.push_back(scene);
    model.defaultScene = 0;

    // The mesh: a bone from every parent to its child. Every joint carries some weight, so a
    // joint no bone reaches (a lone root, or one on top of its parent) gets a small solid of
    // its own.
    MeshBuilder builder;
    std::vector<bool> weighted(jointCount, false);
    for (std::size_t j = 0; j < jointCount; ++j) {
        const int parent = take.joints[j].parent;
        if (parent < 0) continue;
        const glm::dvec3 start(bindGlobal[static_cast<std::size_t>(parent)][3]);
        const glm::dvec3 end(bindGlobal[j][3]);
        const double length = glm::length(end - start);
        if (length < 1e-5) continue;
        builder.octahedron(start, end, std::max(0.1 * length, 0.002), parent, static_cast<int>(j));
        weighted[static_cast<std::size_t>(parent)] = weighted[j] = true;
    }
    for (std::size_t j = 0; j < jointCount; ++j) {
        if (weighted[j]) continue;
        const glm::dvec3 centre(bindGlobal[j][3]);
        const glm::dvec3 half(0.0, 0.01, 0.0);
        builder.octahedron(centre - half, centre + half, 0.005, static_cast<int>(j),
                           static_cast<int>(j));
    }
    std::vector<float> positions, normals, weights;
    std::vector<std::uint16_t> jointsOfVertex;
    for (std::size_t i = 0; i < builder.positions.size(); ++i) {
        appendVec3(positions, builder.positions[i]);
        appendVec3(normals, builder.normals[i]);
        jointsOfVertex.insert(jointsOfVertex.end(),
                              {static_cast<std::uint16_t>(builder.owners[i]), 0, 0, 0});
        weights.insert(weights.end(), {1.0f, 0.0f, 0.0f, 0.0f});
    }
    tinygltf::Primitive primitive;
    primitive.mode = TINYGLTF_MODE_TRIANGLES;
    primitive.material = 0;
    const int positionAccessor =
        buffer.accessor(positions, TINYGLTF_COMPONENT_TYPE_FLOAT, TINYGLTF_TYPE_VEC3, 3,
                        TINYGLTF_TARGET_ARRAY_BUFFER);
    buffer.bounds(positionAccessor, positions.data(), positions.size() / 3, 3);
    primitive.attributes["POSITION"] = positionAccessor;
    primitive.attributes["NORMAL"] =
        buffer.accessor(normals, TINYGLTF_COMPONENT_TYPE_FLOAT, TINYGLTF_TYPE_VEC3, 3,
                        TINYGLTF_TARGET_ARRAY_BUFFER);
    primitive.attributes["JOINTS_0"] =
        buffer.accessor(jointsOfVertex, TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT, TINYGLTF_TYPE_VEC4,
                        4, TINYGLTF_TARGET_ARRAY_BUFFER);
    primitive.attributes["WEIGHTS_0"] =
        buffer.accessor(weights, TINYGLTF_COMPONENT_TYPE_FLOAT, TINYGLTF_TYPE_VEC4, 4,
                        TINYGLTF_TARGET_ARRAY_BUFFER);
    tinygltf::Mesh meshData;
    meshData.name = names.mesh;
    meshData.primitives.push_back(primitive);
    model.meshes.push_back(meshData);
    tinygltf::Material material;
    material.name = "TakeMaterial";
    model.materials.push_back(material);

    // The skin: every joint, weighted or not, so the armature holds all of them.
    std::vector<float> inverseBind;
    inverseBind.reserve(jointCount * 16);
    tinygltf::Skin skin;
    skin.name = names.mesh;
    skin.skeleton = 0;
    for (std::size_t j = 0; j < jointCount; ++j) {
        const glm::dmat4 inverse = glm::inverse(bindGlobal[j]);
        for (int c = 0; c < 4; ++c)
            for (int r = 0; r < 4; ++r) inverseBind.push_back(static_cast<float>(inverse[c][r]));
        skin.joints.push_back(static_cast<int>(1 + j));
    }
    skin.inverseBindMatrices =
        buffer.accessor(inverseBind, TINYGLTF_COMPONENT_TYPE_FLOAT, TINYGLTF_TYPE_MAT4, 16);
    model.skins.push_back(skin);

    // The animation: one time accessor shared by every channel, linear keys in seconds.
    std::vector<float> times;
    times.reserve(keyCount);
    for (double t : take.times) times.push_back(static_cast<float>(t));
    const int input =
        buffer.accessor(times, TINYGLTF_COMPONENT_TYPE_FLOAT, TINYGLTF_TYPE_SCALAR, 1);
    buffer.bounds(input, times.data(), times.size(), 1);
    tinygltf::Animation animation;
    animation.name = names.animation;
    std::vector<float> translations, rotations;
    translations.reserve(keyCount * 3);
    rotations.reserve(keyCount * 4);
    for (std::size_t j = 0; j < jointCount; ++j) {
        translations.clear();
        rotations.clear();
        glm::dquat previous(1.0, 0.0, 0.0, 0.0);
        for (std::size_t k = 0; k < keyCount; ++k) {
            const JointPose& pose = take.poses[k][j];
            appendVec3(translations, pose.translation * kMetresPerCentimetre);
            glm::dquat q = glm::normalize(glm::quat_cast(eulerDegreesToMatrix(pose.rotation)));
            // q and -q are one rotation; keep neighbours in one hemisphere so that
            // interpolating between keys takes the short way.
            if (k > 0 && glm::dot(q, previous) < 0.0) q = -q;
            previous = q;
            rotations.insert(rotations.end(), {static_cast<float>(q.x), static_cast<float>(q.y),
                                               static_cast<float>(q.z), static_cast<float>(q.w)});
        }
        const struct {
            const std::vector<float>& values;
            int type;
            std::size_t components;
            const char* path;
        } outputs[] = {{translations, TINYGLTF_TYPE_VEC3, 3, "translation"},
                       {rotations, TINYGLTF_TYPE_VEC4, 4, "rotation"}};
        for (const auto& output : outputs) {
            tinygltf::AnimationSampler sampler;
            sampler.input = input;
            sampler.output = buffer.accessor(output.values, TINYGLTF_COMPONENT_TYPE_FLOAT,
                                             output.type, output.components);
            sampler.interpolation = "LINEAR";
            animation.samplers.push_back(sampler);
            tinygltf::AnimationChannel channel;
            channel.sampler = static_cast<int>(animation.samplers.size()) - 1;
            channel.target_node = static_cast<int>(1 + j);
            channel.target_path = output.path;
            animation.channels.push_back(channel);
        }
    }
    model.animations.push_back(animation);
    return model;
}

}  // namespace

bool writeTakeGlb(const std::string& path, const Take& take, std::string& error) {
    return writeWithoutThrowing("the glTF file", error, [&] {
        if (!validateTake(take, error)) return false;
        if (take.times.front() < 0.0) {
            error = "glTF key times cannot be negative; the take starts at " +
                    std::to_string(take.times.front()) + " s";
            return false;
        }
        const tinygltf::Model model = buildModel(take);
        tinygltf::TinyGLTF writer;
        if (!writer.WriteGltfSceneToFile(&model, path, /*embedImages=*/false,
                                         /*embedBuffers=*/true, /*prettyPrint=*/false,
                                         /*writeBinary=*/true)) {
            error = "cannot write " + path;
            std::remove(path.c_str());
            return false;
        }
        return true;
    });
}

}  // namespace telmora
