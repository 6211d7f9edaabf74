// Time arithmetic and the transform helpers of the host SDK.
#include <gtest/gtest.h>

#include <cmath>

#include "fbsdk/fbsdk.h"

namespace {

using namespace ORSDK2026;

constexpr kLongLong kSecond = FBTime::kTicksPerSecond;

struct TimeCase {
    const char* what;
    FBTime time;
    kLongLong ticks;
};

TEST(SdkTime, ArithmeticGivesExactTicks) {
    const TimeCase cases[] = {
        {"one second / 60", FBTime(0, 0, 1, 0) / 60.0, kSecond / 60},
        {"1/60 s * 60", (FBTime(0, 0, 1, 0) / 60.0) * 60.0, kSecond},
        {"h:m:s", FBTime(1, 2, 3), (3600 + 120 + 3) * kSecond},
        {"frames at 30", FBTime(0, 0, 0, 15), kSecond / 2},
        {"frames at 24", FBTime(0, 0, 0, 6, 0, kFBTimeMode24Frames), kSecond / 4},
        {"a field is half a frame", FBTime(0, 0, 0, 0, 1, kFBTimeMode60Frames), kSecond / 120},
        {"difference", FBTime(0, 0, 2) - FBTime(0, 0, 0, 15), kSecond * 3 / 2},
        {"sum", FBTime(0, 0, 1) + FBTime(0, 0, 0, 15), kSecond * 3 / 2},
        {"milliseconds set",
         [] {
             FBTime t;
             t.SetMilliSeconds(16);
             return t;
         }(),
         16 * kSecond / 1000},
        {"seconds as double",
         [] {
             FBTime t;
             t.SetSecondDouble(0.25);
             return t;
         }(),
         kSecond / 4},
        {"divide by zero", FBTime(0, 0, 1) / 0.0, 0},
    };
    for (const TimeCase& c : cases) EXPECT_EQ(c.time.Get(), c.ticks) << c.what;
}

TEST(SdkTime, MilliSecondsTruncateTowardsZero) {
    const struct {
        kLongLong ticks;
        kLongLong ms;
    } cases[] = {
        {kSecond / 1000 * 16 + kSecond / 1000 - 1, 16},  // 16.999.. ms
        {kSecond / 60, 16},                              // 16.67 ms
        {-(kSecond / 1000) * 3 / 2, -1},                 // -1.5 ms
        {kSecond / 1000 - 1, 0},
    };
    for (const auto& c : cases) EXPECT_EQ(FBTime(c.ticks).GetMilliSeconds(), c.ms) << c.ticks;
}

void expectMatrixNear(const FBMatrix& a, const FBMatrix& b, double tolerance, const char* what) {
    for (int i = 0; i < 16; ++i) EXPECT_NEAR(a[i], b[i], tolerance) << what << " element " << i;
}

TEST(SdkMaths, RotationOrderXyzIsRzRyRx) {
    FBMatrix rx, ry, rz, r;
    FBRotationToMatrix(rx, FBRVector(30, 0, 0));
    FBRotationToMatrix(ry, FBRVector(0, -40, 0));
    FBRotationToMatrix(rz, FBRVector(0, 0, 75));
    FBRotationToMatrix(r, FBRVector(30, -40, 75), kFBXYZ);
    expectMatrixNear(r, rz * ry * rx, 1e-12, "R = Rz Ry Rx");
    // A quarter turn about z takes x to y.
    FBTVector v;
    FBMatrix quarter;
    FBRotationToMatrix(quarter, FBRVector(0, 0, 90));
    FBVectorMatrixMult(v, quarter, FBTVector(1, 0, 0));
    EXPECT_NEAR(v[0], 0.0, 1e-12);
    EXPECT_NEAR(v[1], 1.0, 1e-12);
}

// Matrix -> Euler -> matrix gives the rotation back in every order, including at gimbal lock.
TEST(SdkMaths, EulerRoundTripInEveryOrder) {
    const FBRVector angles[] = {FBRVector(10, 20, 30), FBRVector(-170, 80, 45),
                                FBRVector(30, 90, 10), FBRVector(0, -90, 0),
                                FBRVector(179, -5, -179)};
    for (int order = kFBXYZ; order <= kFBZYX; ++order) {
        for (const FBRVector& a : angles) {
            FBMatrix m, back;
            FBRotationToMatrix(m, a, static_cast<FBRotationOrder>(order));
            FBRVector e;
            FBMatrixToRotation(e, m, static_cast<FBRotationOrder>(order));
            FBRotationToMatrix(back, e, static_cast<FBRotationOrder>(order));
            expectMatrixNear(back, m, 1e-9, "round trip");
        }
    }
}

TEST(SdkMaths, LocalThroughParentGivesGlobalBack) {
    FBMatrix parent, local, global, localBack;
    FBTRSToMatrix(parent, FBTVector(10, -3, 4), FBRVector(20, 50, -30), FBSVector(2, 2, 2));
    FBTRSToMatrix(local, FBTVector(1, 2, 3), FBRVector(-15, 5, 60), FBSVector());
    FBGetGlobalMatrix(global, parent, local);
    FBGetLocalMatrix(localBack, parent, global);
    expectMatrixNear(localBack, local, 1e-9, "local");
    FBTVector t;
    FBMatrixToTranslation(t, global);
    FBTVector expected;
    FBVectorMatrixMult(expected, parent, FBTVector(1, 2, 3));
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(t[i], expected[i], 1e-9);
    // A singular matrix inverts to the identity instead of to infinities.
    FBMatrix zero;
    for (int i = 0; i < 16; ++i) zero[i] = 0.0;
    expectMatrixNear(zero.Inverse(), FBMatrix(), 0.0, "singular");
}

}  // namespace
