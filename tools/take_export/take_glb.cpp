#include <assimp/scene.h>

#include <algorithm>
#include <assimp/Exporter.hpp>
#include <cmath>
#include <cstdio>
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

aiMatrix4x4 toAssimp(const glm::dmat4& m) {
    // aiMatrix4x4 is row-major (a1..a4 the first row); glm indexes [column][row].
    return aiMatrix4x4(
        static_cast<ai_real>(m[0][0]), static_cast<ai_real>(m[1][0]), static_cast<ai_real>(m[2][0]),
        static_cast<ai_real>(m[3][0]), static_cast<ai_real>(m[0][1]), static_cast<ai_real>(m[1][1]),
        static_cast<ai_real>(m[2][1]), static_cast<ai_real>(m[3][1]), static_cast<ai_real>(m[0][2]),
        static_cast<ai_real>(m[1][2]), static_cast<ai_real>(m[2][2]), static_cast<ai_real>(m[3][2]),
        static_cast<ai_real>(m[0][3]), static_cast<ai_real>(m[1][3]), static_cast<ai_real>(m[2][3]),
        static_cast<ai_real>(m[3][3]));
}

aiVector3D toAssimp(const glm::dvec3& v) {
    return aiVector3D(static_cast<ai_real>(v.x), static_cast<ai_real>(v.y),
                      static_cast<ai_real>(v.z));
}

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

// Names of what the file holds besides the joints. Assimp's glTF 2 exporter refuses two objects
// of one name (even a node and an animation), so a name a joint already uses gets a suffix.
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

std::unique_ptr<aiScene> buildScene(const Take& take) {
    const std::size_t jointCount = take.joints.size();
    const SceneNames names(take);
    const std::size_t keyCount = take.times.size();
    auto scene = std::make_unique<aiScene>();

    scene->mMaterials = new aiMaterial*[1];
    scene->mMaterials[0] = new aiMaterial();
    scene->mNumMaterials = 1;
    aiString materialName("TakeMaterial");
    scene->mMaterials[0]->AddProperty(&materialName, AI_MATKEY_NAME);
    // Assimp 5.2's exporter marks KHR_materials_volume as used unless all three volume
    // properties are set; glTF's defaults (no volume) keep the file free of the extension.
    const float thickness = 0.0f;
    const float attenuationDistance = 1e30f;
    const aiColor3D attenuationColour(1.0f, 1.0f, 1.0f);
    scene->mMaterials[0]->AddProperty(&thickness, 1, AI_MATKEY_VOLUME_THICKNESS_FACTOR);
    scene->mMaterials[0]->AddProperty(&attenuationDistance, 1,
                                      AI_MATKEY_VOLUME_ATTENUATION_DISTANCE);
    scene->mMaterials[0]->AddProperty(&attenuationColour, 1, AI_MATKEY_VOLUME_ATTENUATION_COLOR);

    // Nodes: the root, then every joint with its key-0 transform under its parent.
    scene->mRootNode = new aiNode(names.root);
    std::vector<aiNode*> nodes(jointCount);
    std::vector<std::vector<aiNode*>> children(jointCount);
    std::vector<aiNode*> rootChildren;
    std::vector<glm::dmat4> bindGlobal(jointCount);
    for (std::size_t j = 0; j < jointCount; ++j) {
        nodes[j] = new aiNode(take.joints[j].name);
        const glm::dmat4 local = localMatrixMetres(take.poses[0][j]);
        nodes[j]->mTransformation = toAssimp(local);
        const int parent = take.joints[j].parent;
        if (parent < 0) {
            bindGlobal[j] = local;
            rootChildren.push_back(nodes[j]);
        } else {
            bindGlobal[j] = bindGlobal[static_cast<std::size_t>(parent)] * local;
            children[static_cast<std::size_t>(parent)].push_back(nodes[j]);
        }
    }
    // Attach children last to first so that a node owns its subtree before its parent does.
    for (std::size_t j = jointCount; j-- > 0;) {
        if (!children[j].empty())
            nodes[j]->addChildren(static_cast<unsigned>(children[j].size()), children[j].data());
    }
    aiNode* meshNode = new aiNode(names.mesh);
    meshNode->mNumMeshes = 1;
    meshNode->mMeshes = new unsigned[1]{0};
    rootChildren.push_back(meshNode);
    scene->mRootNode->addChildren(static_cast<unsigned>(rootChildren.size()), rootChildren.data());

    // The mesh: a bone from every parent to its child. glTF skins need every joint to carry
    // some weight (Assimp refuses a bone without any), so a joint no bone reaches, a lone root
    // or one on top of its parent, gets a small solid of its own.
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
    scene->mMeshes = new aiMesh*[1];
    scene->mMeshes[0] = new aiMesh();
    scene->mNumMeshes = 1;
    aiMesh* mesh = scene->mMeshes[0];
    mesh->mName = names.mesh;
    mesh->mPrimitiveTypes = aiPrimitiveType_TRIANGLE;
    mesh->mMaterialIndex = 0;
    const auto vertexCount = static_cast<unsigned>(builder.positions.size());
    mesh->mNumVertices = vertexCount;
    mesh->mVertices = new aiVector3D[vertexCount];
    mesh->mNormals = new aiVector3D[vertexCount];
    for (unsigned i = 0; i < vertexCount; ++i) {
        mesh->mVertices[i] = toAssimp(builder.positions[i]);
        mesh->mNormals[i] = toAssimp(builder.normals[i]);
    }
    mesh->mNumFaces = vertexCount / 3;
    mesh->mFaces = new aiFace[mesh->mNumFaces];
    for (unsigned f = 0; f < mesh->mNumFaces; ++f) {
        mesh->mFaces[f].mNumIndices = 3;
        mesh->mFaces[f].mIndices = new unsigned[3]{3 * f, 3 * f + 1, 3 * f + 2};
    }
    // Every joint is a bone of the skin, weighted or not, so the armature holds all of them.
    std::vector<std::vector<unsigned>> vertices(jointCount);
    for (unsigned i = 0; i < vertexCount; ++i)
        vertices[static_cast<std::size_t>(builder.owners[i])].push_back(i);
    mesh->mNumBones = static_cast<unsigned>(jointCount);
    mesh->mBones = new aiBone*[jointCount];
    for (std::size_t j = 0; j < jointCount; ++j) {
        aiBone* bone = new aiBone();
        mesh->mBones[j] = bone;
        bone->mName = take.joints[j].name;
        bone->mOffsetMatrix = toAssimp(glm::inverse(bindGlobal[j]));
        bone->mNumWeights = static_cast<unsigned>(vertices[j].size());
        bone->mWeights = new aiVertexWeight[vertices[j].size()];
        for (std::size_t w = 0; w < vertices[j].size(); ++w)
            bone->mWeights[w] = aiVertexWeight(vertices[j][w], 1.0f);
    }

    // The animation: times in seconds (one tick per second).
    scene->mAnimations = new aiAnimation*[1];
    scene->mAnimations[0] = new aiAnimation();
    scene->mNumAnimations = 1;
    aiAnimation* animation = scene->mAnimations[0];
    animation->mName = names.animation;
    animation->mTicksPerSecond = 1.0;
    animation->mDuration = take.times.back();
    animation->mNumChannels = static_cast<unsigned>(jointCount);
    animation->mChannels = new aiNodeAnim*[jointCount];
    for (std::size_t j = 0; j < jointCount; ++j) {
        aiNodeAnim* channel = new aiNodeAnim();
        animation->mChannels[j] = channel;
        channel->mNodeName = take.joints[j].name;
        channel->mNumPositionKeys = static_cast<unsigned>(keyCount);
        channel->mPositionKeys = new aiVectorKey[keyCount];
        channel->mNumRotationKeys = static_cast<unsigned>(keyCount);
        channel->mRotationKeys = new aiQuatKey[keyCount];
        glm::dquat previous(1.0, 0.0, 0.0, 0.0);
        for (std::size_t k = 0; k < keyCount; ++k) {
            const JointPose& pose = take.poses[k][j];
            channel->mPositionKeys[k] =
                aiVectorKey(take.times[k], toAssimp(pose.translation * kMetresPerCentimetre));
            glm::dquat q = glm::normalize(glm::quat_cast(eulerDegreesToMatrix(pose.rotation)));
            // q and -q are one rotation; keep neighbours in one hemisphere so that
            // interpolating between keys takes the short way.
            if (k > 0 && glm::dot(q, previous) < 0.0) q = -q;
            previous = q;
            channel->mRotationKeys[k] = aiQuatKey(
                take.times[k], aiQuaternion(static_cast<ai_real>(q.w), static_cast<ai_real>(q.x),
                                            static_cast<ai_real>(q.y), static_cast<ai_real>(q.z)));
        }
    }
    return scene;
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
        const std::unique_ptr<aiScene> scene = buildScene(take);
        Assimp::Exporter exporter;
        if (exporter.Export(scene.get(), "glb2", path) != aiReturn_SUCCESS) {
            const std::string reason = exporter.GetErrorString();
            error = "cannot write " + path + ": " +
                    (reason.empty() ? "Assimp's glTF 2 exporter refused the scene" : reason);
            std::remove(path.c_str());
            return false;
        }
        return true;
    });
}

}  // namespace telmora
