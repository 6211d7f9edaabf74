#pragma once
// What the device writes into a bone's translation and rotation nodes, without the host: where
// the value comes from on an evaluation, and the reference transformation that places the
// performance on the model bound to "Reference". The device's live path (every evaluation) and
// its recording path (keys while the host records) both go through applyReference, so a live
// pose and its recorded keys are the same numbers.
//
// Units and conventions are the host's: translations in cm, rotations as Euler angles in degrees
// about the parent-fixed axes X first, then Y, then Z (R = Rz Ry Rx), matrices column-major with
// the translation in the last column, as glm::dmat4 and the host's matrices both store them.

#include <glm/glm.hpp>

namespace telmora {

// Where an evaluation takes a bone's value from.
enum class ValueSource {
    kLiveChannel,  // the stream's latest frame, from the channel table
    kBoundModel,   // the bound model's own value at the evaluated time (its plotted curve)
    kNothing,      // no value: the nodes keep what they hold
};

// The choice, for a node that is `live` (the device online and live), while the device is or is
// not `plotting` a take, with or without a model bound to the bone's template:
// - live and not plotting: the stream drives the node, bound model or not;
// - otherwise, with a bound model: the model's own value. Offline, that is what the user posed
//   or plotted; while plotting, the plot reads the curves it is writing and must not see the
//   stream's latest frame in their place;
// - live (so plotting) with nothing bound: the stream, the only value there is;
// - offline with nothing bound: nothing, so an offline device leaves unbound nodes alone.
ValueSource valueSourceFor(bool live, bool plotting, bool modelBound);

// One bone's global transform as the host takes it.
struct BoneTransform {
    glm::dvec3 translation{0.0};      // cm
    glm::dvec3 rotationDegrees{0.0};  // Euler X, Y, Z, degrees (R = Rz Ry Rx)
};

// The rotation matrix of Euler angles in degrees, R = Rz(z) Ry(y) Rx(x).
glm::dmat3 eulerXyzDegreesToMatrix(const glm::dvec3& degrees);
// The Euler angles in degrees of a rotation matrix, scale removed first (each column
// normalised): y in [-90, 90]; x and z in [-180, 180]. At y = +-90 (gimbal lock) x is 0 and the
// whole remaining turn goes to z.
glm::dvec3 matrixToEulerXyzDegrees(const glm::dmat3& rotation);

// The reference transformation: the bone's global transform expressed under `reference` (the
// global matrix of the model bound to "Reference"): its translation taken as a point through the
// matrix, its rotation composed after the reference's (reference * R). False, with `result`
// untouched, when the reference, the bone's transform or the result is not finite: a broken
// reference moves nothing.
bool applyReference(const glm::dmat4& reference, const BoneTransform& bone, BoneTransform& result);

// Every component finite.
bool isFinite(const BoneTransform& bone);
bool isFinite(const glm::dmat4& matrix);

}  // namespace telmora
