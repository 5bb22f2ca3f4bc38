#include "Vectors.h"
#include <cmath>
#include <gtest/gtest.h>
#include <limits>

namespace {

const float fNaN = std::numeric_limits<float>::quiet_NaN();
const double dNaN = std::numeric_limits<double>::quiet_NaN();

TEST(Float2, ArithmeticAndNormalize)
{
	// Double precision: a float store would turn 0.1 + 0.2 into 0.3f.
	EXPECT_EQ((float2(0.1, 0.0) + float2(0.2, 0.0)).x, 0.30000000000000004);
	// The scalar comes off each component.
	const float2 d = float2(2.0, 4.0) - 1.0;
	EXPECT_EQ(d.x, 1.0);
	EXPECT_EQ(d.y, 3.0);

	float2 a(3.0, 4.0);
	EXPECT_EQ(&a.Normalize(), &a);
	EXPECT_EQ(a.x, 0.6);
	EXPECT_EQ(a.y, 0.8);
	// sqrt(2) rounded to float is 1.41421353816986083984375, and 1 over it
	// is 0.7071067932881648 (not the double 0.7071067811865475).
	float2 b(1.0, 1.0);
	b.Normalize();
	EXPECT_EQ(b.x, 0.7071067932881648);
	EXPECT_EQ(b.y, 0.7071067932881648);

	float2 zero(0.0, 0.0);
	zero.Normalize();
	EXPECT_EQ(zero.x, 0.0);
	EXPECT_EQ(zero.y, 0.0);
	// A NaN length is not zero, so it is divided through.
	float2 n(dNaN, 1.0);
	EXPECT_TRUE(std::isnan(n.Normalize().y));
}

TEST(Float2, CheckInBoundsClampsFirstComponentOnly)
{
	float2 high(3000.0, -5.0);
	EXPECT_FALSE(high.CheckInBounds());
	EXPECT_EQ(high.x, 2048.0);
	EXPECT_EQ(high.y, -5.0);

	float2 low(-1.0, 9000.0);
	EXPECT_FALSE(low.CheckInBounds());
	EXPECT_EQ(low.x, 0.0);
	EXPECT_EQ(low.y, 9000.0);

	float2 edge(2048.0, -1.0);
	EXPECT_TRUE(edge.CheckInBounds());
	float2 n(dNaN, 0.0);
	EXPECT_TRUE(n.CheckInBounds());
	EXPECT_TRUE(std::isnan(n.x));
}

TEST(Float3, SinglePrecisionInSummationOrder)
{
	const float3 d = float3(2.0f, 4.0f, 6.0f) - 1.0f;
	EXPECT_EQ(d.x, 1.0f);
	EXPECT_EQ(d.y, 3.0f);
	EXPECT_EQ(d.z, 5.0f);
	EXPECT_EQ(float3(1.0f, 2.0f, 2.0f).Length(), 3.0f);

	// 4099^2 = 16801801 is a float tie and rounds to 16801800; adding 1 ties
	// back to 16801800; adding 37^2 = 1369 gives the tie 16803169, which
	// rounds to 16803168, whose float square root is 4099.16650390625.
	// Summing y*y + z*z first would give 16803170; double gives 16803171.
	const float3 v(4099.0f, 1.0f, 37.0f);
	EXPECT_EQ(v.dot(v), 16803168.0f);
	EXPECT_EQ(v.Length(), 4099.16650390625f);
}

TEST(Float3, Normalize)
{
	float3 a(1.0f, 2.0f, 2.0f);
	EXPECT_EQ(&a.Normalize(), &a);
	EXPECT_EQ(a.x, 1.0f / 3.0f);
	EXPECT_EQ(a.y, 2.0f / 3.0f);
	EXPECT_EQ(a.z, 2.0f / 3.0f);

	// The divisor is the single-precision length worked out above.
	float3 b(4099.0f, 1.0f, 37.0f);
	b.Normalize();
	EXPECT_EQ(b.x, 4099.0f / 4099.16650390625f);
	EXPECT_EQ(b.y, 1.0f / 4099.16650390625f);
	EXPECT_EQ(b.z, 37.0f / 4099.16650390625f);

	float3 zero(0.0f, 0.0f, 0.0f);
	zero.Normalize();
	EXPECT_EQ(zero.x, 0.0f);
	EXPECT_EQ(zero.y, 0.0f);
	EXPECT_EQ(zero.z, 0.0f);
	float3 n(fNaN, 3.0f, 4.0f);
	EXPECT_TRUE(std::isnan(n.Normalize().z));
}

TEST(Float3, CheckInBoundsClampsXAndZ)
{
	float3 out(-1.0f, 5.0f, 3000.0f);
	EXPECT_FALSE(out.CheckInBounds());
	EXPECT_EQ(out.x, 0.0f);
	EXPECT_EQ(out.y, 5.0f);
	EXPECT_EQ(out.z, 2048.0f);

	float3 in(10.0f, -7.0f, 10.0f);
	EXPECT_TRUE(in.CheckInBounds());
	EXPECT_EQ(in.x, 10.0f);
	EXPECT_EQ(in.y, -7.0f);
	EXPECT_EQ(in.z, 10.0f);

	float3 n(fNaN, 0.0f, fNaN);
	EXPECT_TRUE(n.CheckInBounds());
	EXPECT_TRUE(std::isnan(n.x));
	EXPECT_TRUE(std::isnan(n.z));

	// Each bound belongs to its own component.
	const float oldZ = float3::maxzpos;
	float3::maxzpos = 10.0f;
	float3 v(3000.0f, 0.0f, -2.0f), w(100.0f, 0.0f, 50.0f);
	const bool vInside = v.CheckInBounds(), wInside = w.CheckInBounds();
	float3::maxzpos = oldZ;
	EXPECT_FALSE(vInside);
	EXPECT_EQ(v.x, 2048.0f);
	EXPECT_EQ(v.z, 0.0f);
	EXPECT_FALSE(wInside);
	EXPECT_EQ(w.x, 100.0f);
	EXPECT_EQ(w.z, 10.0f);
}

} // namespace
