// Value types of the host SDK: strings, time, vectors, matrices and the transform helpers.
#pragma once

#include <cstdint>
#include <string>

#if defined(_WIN32)
#if defined(FBSDK_BUILDING)
#define FBSDK_API __declspec(dllexport)
#else
#define FBSDK_API __declspec(dllimport)
#endif
#else
#define FBSDK_API __attribute__((visibility("default")))
#endif

namespace ORSDK2026 {

using kLongLong = std::int64_t;
using kULongLong = std::uint64_t;
using kReference = std::uint64_t;  // a user reference carried by nodes, list items and rows

// Opaque handle of a host object. The host hands these to factories and takes them back from
// GetHIObject; FBGetFBObject maps one back to the SDK object (null for anything unknown).
using HIObject = void*;

// A byte string with C-string access, as the SDK passes names and texts.
class FBSDK_API FBString {
public:
    FBString(const char* text = "");
    FBString(const std::string& text);
    operator const char*() const { return mText.c_str(); }
    const char* Buffer() const { return mText.c_str(); }
    int GetLen() const { return static_cast<int>(mText.size()); }
    bool IsEmpty() const { return mText.empty(); }
    FBString operator+(const char* other) const;
    FBString& operator+=(const char* other);
    bool operator==(const char* other) const;
    bool operator!=(const char* other) const { return !(*this == other); }
    const std::string& str() const { return mText; }

private:
    std::string mText;
};

// Frame rates that FBTime's frame constructor understands.
enum FBTimeMode {
    kFBTimeModeDefault = 0,  // 30 frames per second
    kFBTimeMode24Frames,
    kFBTimeMode25Frames,
    kFBTimeMode30Frames,
    kFBTimeMode60Frames,
    kFBTimeMode120Frames,
    kFBTimeMode1000Frames,
};

// A time or a duration, as a signed count of ticks. One tick is 1/705,600,000 s, so every
// common frame and sample rate (24, 25, 30, 48, 50, 60, 120, 1000, 44100 Hz) is an exact count.
class FBSDK_API FBTime {
public:
    static constexpr kLongLong kTicksPerSecond = 705600000;

    FBTime(kLongLong ticks = 0) : mTicks(ticks) {}
    FBTime(int hours, int minutes, int seconds = 0, int frames = 0, int fields = 0,
           FBTimeMode mode = kFBTimeModeDefault);

    kLongLong Get() const { return mTicks; }
    void Set(kLongLong ticks) { mTicks = ticks; }
    // Whole milliseconds, truncated towards zero.
    kLongLong GetMilliSeconds() const;
    void SetMilliSeconds(kLongLong milliseconds);
    double GetSecondDouble() const;
    void SetSecondDouble(double seconds);

    FBTime operator+(const FBTime& other) const { return FBTime(mTicks + other.mTicks); }
    FBTime operator-(const FBTime& other) const { return FBTime(mTicks - other.mTicks); }
    FBTime& operator+=(const FBTime& other) {
        mTicks += other.mTicks;
        return *this;
    }
    FBTime& operator-=(const FBTime& other) {
        mTicks -= other.mTicks;
        return *this;
    }
    // Division by a number: the tick count divided and rounded to the nearest tick.
    FBTime operator/(double divisor) const;
    FBTime operator*(double factor) const;
    bool operator==(const FBTime& o) const { return mTicks == o.mTicks; }
    bool operator!=(const FBTime& o) const { return mTicks != o.mTicks; }
    bool operator<(const FBTime& o) const { return mTicks < o.mTicks; }
    bool operator<=(const FBTime& o) const { return mTicks <= o.mTicks; }
    bool operator>(const FBTime& o) const { return mTicks > o.mTicks; }
    bool operator>=(const FBTime& o) const { return mTicks >= o.mTicks; }

    static const FBTime Zero;

private:
    kLongLong mTicks;
};

// A closed time interval [start, stop].
struct FBSDK_API FBTimeSpan {
    FBTime start;
    FBTime stop;
    FBTimeSpan(FBTime startTime = FBTime(), FBTime stopTime = FBTime())
        : start(startTime), stop(stopTime) {}
    FBTime GetStart() const { return start; }
    FBTime GetStop() const { return stop; }
    FBTime GetDuration() const { return stop - start; }
};

// Small fixed vectors of doubles, usable wherever the SDK takes a double*.
template <int N>
struct FBVectorN {
    double mValue[N];
    double& operator[](int i) { return mValue[i]; }
    const double& operator[](int i) const { return mValue[i]; }
    operator double*() { return mValue; }
    operator const double*() const { return mValue; }
};

struct FBVector3d : FBVectorN<3> {
    FBVector3d(double x = 0.0, double y = 0.0, double z = 0.0) : FBVectorN<3>{{x, y, z}} {}
    explicit FBVector3d(const double* v) : FBVectorN<3>{{v[0], v[1], v[2]}} {}
};
// A homogeneous vector: default (0, 0, 0, 1), so a default translation moves a point by nothing
// and a matrix product with it keeps the matrix's translation.
struct FBVector4d : FBVectorN<4> {
    FBVector4d(double x = 0.0, double y = 0.0, double z = 0.0, double w = 1.0)
        : FBVectorN<4>{{x, y, z, w}} {}
    explicit FBVector4d(const double* v) : FBVectorN<4>{{v[0], v[1], v[2], 1.0}} {}
};
using FBTVector = FBVector4d;  // translation
using FBRVector = FBVector3d;  // rotation, Euler degrees
// A scaling vector: default (1, 1, 1).
struct FBSVector : FBVectorN<3> {
    FBSVector(double x = 1.0, double y = 1.0, double z = 1.0) : FBVectorN<3>{{x, y, z}} {}
};

// A 4x4 matrix of doubles, column-major: element (row r, column c) is m[c * 4 + r]; the
// translation of a transform is m[12], m[13], m[14]. Default: identity. Transforms act on
// column vectors (v' = M v), so a parent's global matrix times a child's local matrix gives the
// child's global matrix.
class FBSDK_API FBMatrix {
public:
    FBMatrix();
    explicit FBMatrix(const double* columnMajor16);
    double& operator[](int i) { return mValue[i]; }
    const double& operator[](int i) const { return mValue[i]; }
    double& operator()(int row, int column) { return mValue[column * 4 + row]; }
    double operator()(int row, int column) const { return mValue[column * 4 + row]; }
    operator double*() { return mValue; }
    operator const double*() const { return mValue; }
    void Identity();
    FBMatrix operator*(const FBMatrix& right) const;
    // The inverse of an affine transform; a singular matrix gives the identity.
    FBMatrix Inverse() const;

private:
    double mValue[16];
};

// Euler rotation orders. kFBXYZ applies the rotation about X first, then Y, then Z, all about
// the parent-fixed axes: R = Rz(z) * Ry(y) * Rx(x). Angles are in degrees.
enum FBRotationOrder { kFBXYZ = 0, kFBXZY, kFBYZX, kFBYXZ, kFBZXY, kFBZYX };

// M = T * R(order kFBXYZ) * S.
FBSDK_API void FBTRSToMatrix(FBMatrix& result, const FBTVector& translation,
                             const FBRVector& rotation, const FBSVector& scaling);
// result = parent * local.
FBSDK_API void FBGetGlobalMatrix(FBMatrix& result, const FBMatrix& parent, const FBMatrix& local);
// local = inverse(parent) * global.
FBSDK_API void FBGetLocalMatrix(FBMatrix& local, const FBMatrix& parent, const FBMatrix& global);
FBSDK_API void FBMatrixToTranslation(FBTVector& translation, const FBMatrix& matrix);
// The rotation part of a matrix (scale removed) as Euler degrees in the given order; for kFBXYZ
// x and z lie in [-180, 180] and y in [-90, 90].
FBSDK_API void FBMatrixToRotation(FBRVector& rotation, const FBMatrix& matrix,
                                  FBRotationOrder order = kFBXYZ);
FBSDK_API void FBRotationToMatrix(FBMatrix& matrix, const FBRVector& rotation,
                                  FBRotationOrder order = kFBXYZ);
// result = matrix * vector (w included).
FBSDK_API void FBVectorMatrixMult(FBTVector& result, const FBMatrix& matrix,
                                  const FBTVector& vector);

}  // namespace ORSDK2026
