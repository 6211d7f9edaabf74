// Retargeting onto a rig built from the default skeleton itself (every bone unturned at rest,
// each following its own channel), under an object matrix: the performer's turns reach every
// bone's world rotation, the rest pose gives back the calibration, and rigs that cannot follow
// a performer are refused with what they lack.

#include "motion/retarget.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <glm/gtc/matrix_transform.hpp>
#include <string>
#include <vector>

#include "motion/channel_table.h"

namespace telmora {
namespace {

// Channel axes (y up, cm) to the rig host's world (z up, m).
glm::dvec3 toWorld(const double* cm) {
    return glm::dvec3(cm[0], -cm[2], cm[1]) / 100.0;
}

void putRowMajor(const glm::dmat4& m, double* out) {
    for (int row = 0; row < 4; ++row)
        for (int col = 0; col < 4; ++col) out[4 * row + col] = m[col][row];
}

struct Rig {
    std::vector<std::string> names;
    std::vector<const char*> nameTexts;
    std::vector<std::int32_t> parents, sources;
    std::vector<double> restPositions;  // performer, cm
    std::vector<glm::dmat4> rest;       // armature space
    std::vector<double> restRows, objectRows = std::vector<double>(16);
    glm::dmat4 object{1.0};

    explicit Rig(const glm::dmat4& objectMatrix) : object(objectMatrix) {
        ChannelTable table;
        table.SetupChannels();
        const ChannelSnapshot snapshot = table.snapshot();
        const glm::dmat4 toArmature = glm::inverse(object);
        // Bones unturned in the world at rest: their armature-space frames undo the object's
        // rotation (without its scale: a bone's frame is never scaled).
        glm::dmat3 objectRotation(object);
        for (int c = 0; c < 3; ++c) objectRotation[c] = glm::normalize(objectRotation[c]);
        for (int i = 0; i < snapshot.channelCount; ++i) {
            const ChannelRecord& record = snapshot.records[static_cast<std::size_t>(i)];
            names.push_back(record.bone->name);
            parents.push_back(record.parentIndex);
            sources.push_back(i);
            restPositions.insert(restPositions.end(), record.referenceTranslation,
                                 record.referenceTranslation + 3);
            glm::dmat4 m(glm::transpose(objectRotation));
            m[3] = toArmature * glm::dvec4(toWorld(record.referenceTranslation), 1.0);
            rest.push_back(m);
        }
        for (const std::string& name : names) nameTexts.push_back(name.c_str());
        restRows.resize(16 * rest.size());
        for (std::size_t b = 0; b < rest.size(); ++b) putRowMajor(rest[b], &restRows[16 * b]);
        putRowMajor(object, objectRows.data());
    }

    RetargetSetup setup() const {
        RetargetSetup s;
        s.boneCount = static_cast<std::int32_t>(names.size());
        s.parents = parents.data();
        s.sources = sources.data();
        s.restMatrices = restRows.data();
        s.calibrationPoses = restRows.data();  // calibrated at rest
        s.objectMatrix = objectRows.data();
        s.performerBoneCount = s.boneCount;
        s.performerNames = nameTexts.data();
        s.performerParents = parents.data();
        s.performerRestPositions = restPositions.data();
        return s;
    }

    // World rotations of the bones posed by `pose` (forward kinematics through the bases).
    std::vector<glm::dquat> worldRotations(const RetargetPose& pose) const {
        std::vector<glm::dmat4> posed(names.size());
        std::vector<glm::dquat> world(names.size());
        for (std::size_t b = 0; b < names.size(); ++b) {
            const auto& q = pose.rotations[b];
            glm::dmat4 basis = glm::mat4_cast(glm::dquat(q[0], q[1], q[2], q[3]));
            basis[3] =
                glm::dvec4(pose.locations[b][0], pose.locations[b][1], pose.locations[b][2], 1.0);
            const int p = parents[b];
            posed[b] = p >= 0
                           ? posed[static_cast<std::size_t>(p)] *
                                 glm::inverse(rest[static_cast<std::size_t>(p)]) * rest[b] * basis
                           : rest[b] * basis;
            glm::dmat3 r(object * posed[b]);
            for (int c = 0; c < 3; ++c) r[c] = glm::normalize(r[c]);
            world[b] = glm::quat_cast(r);
        }
        return world;
    }
};

double angleBetween(const glm::dquat& a, const glm::dquat& b) {
    const glm::dquat relative = a * glm::conjugate(b);
    return 2.0 * std::atan2(glm::length(glm::dvec3(relative.x, relative.y, relative.z)),
                            std::abs(relative.w));
}

const glm::dmat4 kFbxObject = glm::scale(
    glm::rotate(glm::dmat4(1.0), glm::radians(90.0), glm::dvec3(1, 0, 0)), glm::dvec3(0.01));

TEST(Retarget, ThePerformersTurnsReachEveryBoneWhateverTheObjectMatrix) {
    for (const glm::dmat4& object : {glm::dmat4(1.0), kFbxObject}) {
        Rig rig(object);
        std::string error;
        const auto retarget = Retargeter::Calibrate(rig.setup(), error);
        ASSERT_TRUE(retarget) << error;
        EXPECT_NEAR(retarget->scale(), 1.0, 1e-9);
        // Every channel turned its own way (channel axes), the body left where it stands.
        std::vector<double> rotations;
        for (std::size_t b = 0; b < rig.names.size(); ++b) {
            const glm::dquat q = glm::angleAxis(0.1 + 0.02 * static_cast<double>(b),
                                                glm::normalize(glm::dvec3(1.0, b % 3, 2.0)));
            rotations.insert(rotations.end(), {q.w, q.x, q.y, q.z});
        }
        RetargetFrame frame;
        frame.translations = rig.restPositions.data();
        frame.rotations = rotations.data();
        frame.footPlanting = false;
        RetargetPose pose;
        retarget->Solve(frame, pose);
        const std::vector<glm::dquat> world = rig.worldRotations(pose);
        const glm::dquat toWorld = glm::quat_cast(
            glm::dmat3(glm::dvec3(1, 0, 0), glm::dvec3(0, 0, 1), glm::dvec3(0, -1, 0)));
        for (std::size_t b = 0; b < world.size(); ++b) {
            const double* r = &rotations[4 * b];
            const glm::dquat performer =
                toWorld * glm::dquat(r[0], r[1], r[2], r[3]) * glm::conjugate(toWorld);
            EXPECT_LT(angleBetween(world[b], performer), 1e-9) << rig.names[b];
        }
    }
}

TEST(Retarget, ThePerformerAtRestGivesBackTheCalibratedPose) {
    for (bool planting : {false, true}) {
        Rig rig(kFbxObject);
        std::string error;
        const auto retarget = Retargeter::Calibrate(rig.setup(), error);
        ASSERT_TRUE(retarget) << error;
        const std::vector<double> identity = [&] {
            std::vector<double> q;
            for (std::size_t b = 0; b < rig.names.size(); ++b) q.insert(q.end(), {1, 0, 0, 0});
            return q;
        }();
        RetargetFrame frame;
        frame.translations = rig.restPositions.data();
        frame.rotations = identity.data();
        frame.footPlanting = planting;
        RetargetPose pose;
        retarget->Solve(frame, pose);
        for (std::size_t b = 0; b < rig.names.size(); ++b) {
            for (double v : pose.locations[b]) EXPECT_NEAR(v, 0.0, 1e-6) << rig.names[b];
            EXPECT_NEAR(std::abs(pose.rotations[b][0]), 1.0, 1e-6) << rig.names[b];
        }
    }
}

TEST(Retarget, RigsThatCannotFollowAPerformerAreRefusedSayingWhy) {
    struct Case {
        const char* what;
        std::vector<const char*> unmapped;  // performer bones the rig lacks
        const char* message;
    };
    const Case cases[] = {
        {"no left arm",
         {"LeftArm", "LeftForeArm", "LeftHand"},
         "no bone is mapped to the left upper arm, the left forearm, the left hand"},
        {"no head or hips", {"Head", "Hips"}, "no bone is mapped to the hips, the head"},
        {"no spine at all", {"Spine", "Spine1", "Spine2"}, "no bone is mapped to the spine"},
    };
    for (const Case& c : cases) {
        Rig rig(glm::dmat4(1.0));
        for (const char* name : c.unmapped)
            for (std::size_t b = 0; b < rig.names.size(); ++b)
                if (rig.names[b] == name) rig.sources[b] = -1;
        std::string error;
        EXPECT_FALSE(Retargeter::Calibrate(rig.setup(), error)) << c.what;
        EXPECT_NE(error.find(c.message), std::string::npos) << c.what << ": " << error;
    }
    Rig twice(glm::dmat4(1.0));
    twice.sources[2] = 1;  // two rig bones on the performer's Spine
    std::string error;
    EXPECT_FALSE(Retargeter::Calibrate(twice.setup(), error));
    EXPECT_NE(error.find("Two bones of the rig follow the performer's Spine"), std::string::npos)
        << error;
}

}  // namespace
}  // namespace telmora
