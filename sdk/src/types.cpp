// Strings, time and the transform maths.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "sdk_internal.h"

namespace ORSDK2026 {

// ---- FBString ----

FBString::FBString(const char* text) : mText(text ? text : "") {}
FBString::FBString(const std::string& text) : mText(text) {}
FBString FBString::operator+(const char* other) const {
    FBString result(*this);
    result += other;
    return result;
}
FBString& FBString::operator+=(const char* other) {
    if (other) mText += other;
    return *this;
}
bool FBString::operator==(const char* other) const {
    return mText == (other ? other : "");
}

// ---- FBTime ----

namespace {
kLongLong framesPerSecond(FBTimeMode mode) {
    switch (mode) {
        case kFBTimeMode24Frames:
            return 24;
        case kFBTimeMode25Frames:
            return 25;
        case kFBTimeMode60Frames:
            return 60;
        case kFBTimeMode120Frames:
            return 120;
        case kFBTimeMode1000Frames:
            return 1000;
        case kFBTimeModeDefault:
        case kFBTimeMode30Frames:
        default:
            return 30;
    }
}
constexpr kLongLong kTicksPerMillisecond = FBTime::kTicksPerSecond / 1000;

// Rounds to the nearest tick; values beyond the tick range saturate, NaN gives 0.
kLongLong roundTicks(double ticks) {
    if (!std::isfinite(ticks)) return std::isnan(ticks) ? 0 : (ticks > 0 ? INT64_MAX : INT64_MIN);
    if (ticks >= 9.2e18) return INT64_MAX;
    if (ticks <= -9.2e18) return INT64_MIN;
    return std::llround(ticks);
}
}  // namespace

const FBTime FBTime::Zero(0);

// Every supported rate divides the tick rate, and so does twice it (fields are half frames).
FBTime::FBTime(int hours, int minutes, int seconds, int frames, int fields, FBTimeMode mode) {
    const kLongLong fps = framesPerSecond(mode);
    const kLongLong wholeSeconds = (static_cast<kLongLong>(hours) * 60 + minutes) * 60 + seconds;
    mTicks = wholeSeconds * kTicksPerSecond + frames * (kTicksPerSecond / fps) +
             fields * (kTicksPerSecond / (2 * fps));
}

kLongLong FBTime::GetMilliSeconds() const {
    return mTicks / kTicksPerMillisecond;
}
void FBTime::SetMilliSeconds(kLongLong milliseconds) {
    mTicks = milliseconds * kTicksPerMillisecond;
}
double FBTime::GetSecondDouble() const {
    return static_cast<double>(mTicks) / static_cast<double>(kTicksPerSecond);
}
void FBTime::SetSecondDouble(double seconds) {
    mTicks = roundTicks(seconds * static_cast<double>(kTicksPerSecond));
}
// Division by zero gives zero rather than a saturated time.
FBTime FBTime::operator/(double divisor) const {
    if (divisor == 0.0) return FBTime(0);
    return FBTime(roundTicks(static_cast<double>(mTicks) / divisor));
}
FBTime FBTime::operator*(double factor) const {
    return FBTime(roundTicks(static_cast<double>(mTicks) * factor));
}

// ---- FBMatrix ----

FBMatrix::FBMatrix() {
    Identity();
}
FBMatrix::FBMatrix(const double* columnMajor16) {
    if (columnMajor16) {
        std::memcpy(mValue, columnMajor16, sizeof(mValue));
    } else {
        Identity();
    }
}
void FBMatrix::Identity() {
    static constexpr double kIdentity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    std::copy(kIdentity, kIdentity + 16, mValue);
}
FBMatrix FBMatrix::operator*(const FBMatrix& right) const {
    FBMatrix result;
    for (int c = 0; c < 4; ++c) {
        for (int r = 0; r < 4; ++r) {
            double sum = 0.0;
            for (int k = 0; k < 4; ++k) sum += (*this)(r, k) * right(k, c);
            result(r, c) = sum;
        }
    }
    return result;
}
// [A t; 0 1]^-1 = [A^-1  -A^-1 t; 0 1], with A^-1 from the adjugate.
FBMatrix FBMatrix::Inverse() const {
    const FBMatrix& m = *this;
    const double c00 = m(1, 1) * m(2, 2) - m(1, 2) * m(2, 1);
    const double c01 = m(1, 2) * m(2, 0) - m(1, 0) * m(2, 2);
    const double c02 = m(1, 0) * m(2, 1) - m(1, 1) * m(2, 0);
    const double det = m(0, 0) * c00 + m(0, 1) * c01 + m(0, 2) * c02;
    if (!std::isfinite(det) || std::fabs(det) < 1e-300) return FBMatrix();
    const double inv = 1.0 / det;
    FBMatrix r;
    r(0, 0) = c00 * inv;
    r(0, 1) = (m(0, 2) * m(2, 1) - m(0, 1) * m(2, 2)) * inv;
    r(0, 2) = (m(0, 1) * m(1, 2) - m(0, 2) * m(1, 1)) * inv;
    r(1, 0) = c01 * inv;
    r(1, 1) = (m(0, 0) * m(2, 2) - m(0, 2) * m(2, 0)) * inv;
    r(1, 2) = (m(0, 2) * m(1, 0) - m(0, 0) * m(1, 2)) * inv;
    r(2, 0) = c02 * inv;
    r(2, 1) = (m(0, 1) * m(2, 0) - m(0, 0) * m(2, 1)) * inv;
    r(2, 2) = (m(0, 0) * m(1, 1) - m(0, 1) * m(1, 0)) * inv;
    for (int row = 0; row < 3; ++row) {
        r(row, 3) = -(r(row, 0) * m(0, 3) + r(row, 1) * m(1, 3) + r(row, 2) * m(2, 3));
    }
    return r;
}

// ---- Transforms ----

namespace {
constexpr double kPi = 3.14159265358979323846;
constexpr double kDegToRad = kPi / 180.0;
constexpr double kRadToDeg = 180.0 / kPi;

// The axes in the order applied (first, second, third): R = R_third * R_second * R_first.
void orderAxes(FBRotationOrder order, int axes[3]) {
    static const int kAxes[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 2, 0},
                                    {1, 0, 2}, {2, 0, 1}, {2, 1, 0}};
    const int index = (order >= kFBXYZ && order <= kFBZYX) ? order : kFBXYZ;
    for (int i = 0; i < 3; ++i) axes[i] = kAxes[index][i];
}

double clampUnit(double v) {
    return v > 1.0 ? 1.0 : (v < -1.0 ? -1.0 : v);
}
}  // namespace

void FBRotationToMatrix(FBMatrix& matrix, const FBRVector& rotation, FBRotationOrder order) {
    int axes[3];
    orderAxes(order, axes);
    // R_third * R_second * R_first on their 3x3 blocks: the same sums, term for term, as the
    // 4x4 products (whose extra terms are zeros), at a fraction of the work.
    double r[3][3][3];
    for (int n = 0; n < 3; ++n) {
        const int axis = axes[n];
        const double c = std::cos(rotation[axis] * kDegToRad);
        const double s = std::sin(rotation[axis] * kDegToRad);
        const int a = (axis + 1) % 3, b = (axis + 2) % 3;
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) r[n][i][j] = i == j ? 1.0 : 0.0;
        r[n][a][a] = c;
        r[n][a][b] = -s;
        r[n][b][a] = s;
        r[n][b][b] = c;
    }
    auto product = [](const double(&x)[3][3], const double(&y)[3][3], double(&out)[3][3]) {
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) {
                double sum = 0.0;
                for (int k = 0; k < 3; ++k) sum += x[i][k] * y[k][j];
                out[i][j] = sum;
            }
    };
    double outer[3][3], whole[3][3];
    product(r[2], r[1], outer);
    product(outer, r[0], whole);
    matrix.Identity();
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) matrix(i, j) = whole[i][j];
}

void FBTRSToMatrix(FBMatrix& result, const FBTVector& translation, const FBRVector& rotation,
                   const FBSVector& scaling) {
    FBRotationToMatrix(result, rotation, kFBXYZ);
    for (int c = 0; c < 3; ++c) {
        for (int r = 0; r < 3; ++r) result(r, c) *= scaling[c];
    }
    result(0, 3) = translation[0];
    result(1, 3) = translation[1];
    result(2, 3) = translation[2];
}

void FBGetGlobalMatrix(FBMatrix& result, const FBMatrix& parent, const FBMatrix& local) {
    result = parent * local;
}
void FBGetLocalMatrix(FBMatrix& local, const FBMatrix& parent, const FBMatrix& global) {
    local = parent.Inverse() * global;
}
void FBMatrixToTranslation(FBTVector& translation, const FBMatrix& matrix) {
    translation = FBTVector(matrix(0, 3), matrix(1, 3), matrix(2, 3), 1.0);
}

// For R = R_k(c) R_j(b) R_i(a) (i applied first): with (i, j, k) an even permutation of (x, y, z),
//   b = asin(-R[k][i]), a = atan2(R[k][j], R[k][k]), c = atan2(R[j][i], R[i][i]);
// an odd permutation flips the signs of the off-diagonal terms. At b = +-90 degrees (gimbal lock)
// a is taken as 0 and the whole remaining turn goes to c.
void FBMatrixToRotation(FBRVector& rotation, const FBMatrix& matrix, FBRotationOrder order) {
    int axes[3];
    orderAxes(order, axes);
    const int i = axes[0], j = axes[1], k = axes[2];
    // Remove scale: normalise the three columns.
    double m[3][3];
    for (int c = 0; c < 3; ++c) {
        const double len = std::sqrt(matrix(0, c) * matrix(0, c) + matrix(1, c) * matrix(1, c) +
                                     matrix(2, c) * matrix(2, c));
        for (int r = 0; r < 3; ++r) m[r][c] = (len > 1e-300) ? matrix(r, c) / len : (r == c);
    }
    const bool even = ((j - i + 3) % 3) == 1;
    const double sign = even ? 1.0 : -1.0;
    const double sb = clampUnit(-sign * m[k][i]);
    double a, b, c;
    b = std::asin(sb);
    if (std::fabs(sb) < 0.9999999) {
        a = std::atan2(sign * m[k][j], m[k][k]);
        c = std::atan2(sign * m[j][i], m[i][i]);
    } else {
        a = 0.0;
        c = std::atan2(-sign * m[i][j], m[j][j]);
    }
    FBRVector out;
    out[i] = a * kRadToDeg;
    out[j] = b * kRadToDeg;
    out[k] = c * kRadToDeg;
    rotation = out;
}

void FBVectorMatrixMult(FBTVector& result, const FBMatrix& matrix, const FBTVector& vector) {
    FBTVector out;
    for (int r = 0; r < 4; ++r) {
        out[r] = matrix(r, 0) * vector[0] + matrix(r, 1) * vector[1] + matrix(r, 2) * vector[2] +
                 matrix(r, 3) * vector[3];
    }
    result = out;
}

}  // namespace ORSDK2026
