#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>

#include "tools/take_export/take_export.h"
#include "tools/take_export/text_output.h"

namespace telmora {
namespace {

constexpr double kDegreesToRadians = 0.017453292519943295;

bool finite(const glm::dvec3& v) {
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

}  // namespace

bool validateTake(const Take& take, std::string& error) {
    if (take.joints.empty()) {
        error = "the take has no joints";
        return false;
    }
    std::set<std::string> names;
    for (std::size_t j = 0; j < take.joints.size(); ++j) {
        const TakeJoint& joint = take.joints[j];
        const std::string which = "joint " + std::to_string(j) + " '" + joint.name + "'";
        if (joint.name.empty()) {
            error = "joint " + std::to_string(j) + " has no name";
            return false;
        }
        for (char c : joint.name) {
            if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f) {
                error = which + ": a name must not hold white space or control characters";
                return false;
            }
        }
        if (!names.insert(joint.name).second) {
            error = which + ": the name is used by an earlier joint";
            return false;
        }
        if (joint.parent < -1 || joint.parent >= static_cast<int>(j)) {
            error = which + ": parent " + std::to_string(joint.parent) +
                    " is not an earlier joint (parents come before children, -1 for a root)";
            return false;
        }
    }
    if (take.times.empty()) {
        error = "the take has no keys";
        return false;
    }
    if (take.poses.size() != take.times.size()) {
        error = "the take has " + std::to_string(take.times.size()) + " key times but " +
                std::to_string(take.poses.size()) + " keys of poses";
        return false;
    }
    if (!std::isfinite(take.framePeriod) || take.framePeriod <= 0.0) {
        error =
            "the frame period " + std::to_string(take.framePeriod) + " s is not a positive number";
        return false;
    }
    for (std::size_t k = 0; k < take.times.size(); ++k) {
        const std::string key = "key " + std::to_string(k);
        if (!std::isfinite(take.times[k])) {
            error = key + ": the time is not finite";
            return false;
        }
        if (k > 0 && !(take.times[k] > take.times[k - 1])) {
            char text[160];
            std::snprintf(text, sizeof text,
                          ": time %.9g s does not follow the previous key's %.9g s", take.times[k],
                          take.times[k - 1]);
            error = key + text;
            return false;
        }
        if (take.poses[k].size() != take.joints.size()) {
            error = key + " has " + std::to_string(take.poses[k].size()) + " poses for " +
                    std::to_string(take.joints.size()) + " joints";
            return false;
        }
        for (std::size_t j = 0; j < take.joints.size(); ++j) {
            const JointPose& pose = take.poses[k][j];
            if (!finite(pose.translation) || !finite(pose.rotation)) {
                error = key + ", joint '" + take.joints[j].name + "': a value is not finite";
                return false;
            }
        }
    }
    return true;
}

glm::dmat3 eulerDegreesToMatrix(const glm::dvec3& rotationDegrees) {
    const glm::dvec3 r = rotationDegrees * kDegreesToRadians;
    const double cx = std::cos(r.x), sx = std::sin(r.x);
    const double cy = std::cos(r.y), sy = std::sin(r.y);
    const double cz = std::cos(r.z), sz = std::sin(r.z);
    // Rz · Ry · Rx written out; glm::dmat3 takes columns.
    return glm::dmat3(glm::dvec3(cz * cy, sz * cy, -sy),
                      glm::dvec3(cz * sy * sx - sz * cx, sz * sy * sx + cz * cx, cy * sx),
                      glm::dvec3(cz * sy * cx + sz * sx, sz * sy * cx - cz * sx, cy * cx));
}

glm::dmat4 jointLocalMatrix(const JointPose& pose) {
    glm::dmat4 local(eulerDegreesToMatrix(pose.rotation));
    local[3] = glm::dvec4(pose.translation, 1.0);
    return local;
}

void takeGlobalPositions(const Take& take, std::size_t key, std::vector<glm::dvec3>& positionsCm) {
    const std::size_t count = take.joints.size();
    // Global rotations alongside the positions: parents come first, so one forward pass.
    std::vector<glm::dmat3> rotations(count);
    positionsCm.resize(count);
    const std::vector<JointPose>& poses = take.poses[key];
    for (std::size_t j = 0; j < count; ++j) {
        const glm::dmat3 local = eulerDegreesToMatrix(poses[j].rotation);
        const int parent = take.joints[j].parent;
        if (parent < 0) {
            rotations[j] = local;
            positionsCm[j] = poses[j].translation;
        } else {
            const auto p = static_cast<std::size_t>(parent);
            rotations[j] = rotations[p] * local;
            positionsCm[j] = positionsCm[p] + rotations[p] * poses[j].translation;
        }
    }
}

std::vector<glm::dvec3> takeGlobalPositions(const Take& take, std::size_t key) {
    std::vector<glm::dvec3> positions;
    takeGlobalPositions(take, key, positions);
    return positions;
}

glm::dvec3 unrollEulerDegrees(const glm::dvec3& rotationDegrees,
                              const glm::dvec3& previousDegrees) {
    const auto nearest = [](double angle, double target) {
        return angle + 360.0 * std::round((target - angle) / 360.0);
    };
    const glm::dvec3& a = rotationDegrees;
    const glm::dvec3& p = previousDegrees;
    // Rz(c+180) Ry(180-b) Rx(a+180) = Rz(c) Ry(b) Rx(a): the half turns about z and x cancel
    // against the mirrored pitch.
    const glm::dvec3 same(nearest(a.x, p.x), nearest(a.y, p.y), nearest(a.z, p.z));
    const glm::dvec3 flipped(nearest(a.x + 180.0, p.x), nearest(180.0 - a.y, p.y),
                             nearest(a.z + 180.0, p.z));
    const glm::dvec3 ds = same - p, df = flipped - p;
    return glm::dot(df, df) < glm::dot(ds, ds) ? flipped : same;
}

void appendFixed6(std::string& text, double value) {
    // The millionths as an integer: a tenth of the general conversion's time. That product is
    // rounded once, so where its fraction lies too near one half for that rounding to be sure
    // of the nearest millionth, and for large values, the general conversion decides.
    const double scaled = std::fabs(value) * 1e6;
    if (scaled < 1e15) {
        const double whole = std::floor(scaled);
        const double fraction = scaled - whole;
        if (std::fabs(fraction - 0.5) > 1e-6 * (1.0 + scaled) * 1e-9) {
            std::uint64_t millionths =
                static_cast<std::uint64_t>(whole) + (fraction > 0.5 ? 1u : 0u);
            char buffer[32];
            char* end = buffer + sizeof buffer;
            char* at = end;
            for (int digit = 0; digit < 6; ++digit) {
                *--at = static_cast<char>('0' + millionths % 10);
                millionths /= 10;
            }
            *--at = '.';
            do {
                *--at = static_cast<char>('0' + millionths % 10);
                millionths /= 10;
            } while (millionths != 0);
            if (std::signbit(value)) *--at = '-';
            text.append(at, end);
            return;
        }
    }
    char buffer[400];
    const std::to_chars_result result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 6);
    text.append(buffer, result.ptr);
}

ChunkedTextFile::~ChunkedTextFile() {
    abandon();
}

bool ChunkedTextFile::open(const std::string& path, std::string& error) {
    abandon();
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr) {
        error = "cannot open " + path + " for writing: " + std::strerror(errno);
        return false;
    }
    path_ = path;
    return true;
}

bool ChunkedTextFile::flush(std::string& error) {
    if (file_ == nullptr) {
        error = "cannot write: the file is not open";
        return false;
    }
    if (!text.empty() && std::fwrite(text.data(), 1, text.size(), file_) != text.size()) {
        // A short write (disk full): leave no truncated file behind.
        error = "cannot write " + path_ + ": " + std::strerror(errno);
        abandon();
        return false;
    }
    text.clear();
    return true;
}

bool ChunkedTextFile::finish(std::string& error) {
    if (!flush(error)) return false;
    std::FILE* file = file_;
    file_ = nullptr;
    if (std::fclose(file) != 0) {
        error = "cannot write " + path_ + ": " + std::strerror(errno);
        std::remove(path_.c_str());
        return false;
    }
    return true;
}

void ChunkedTextFile::abandon() {
    if (file_ == nullptr) return;
    std::fclose(file_);
    file_ = nullptr;
    std::remove(path_.c_str());
}

}  // namespace telmora
