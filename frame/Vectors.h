#pragma once
#include <cmath>

/// A 2-component vector in double precision: image positions and 2D
/// directions. A plain value, copied and assigned member-wise.
class float2
{
public:
	double x;
	double y;

	/// Upper bound of `x` in `CheckInBounds` (2048 at start).
	static float maxxpos;
	/// Companion bound for the second component; no check reads it.
	static float maxzpos;

	float2(double xIn, double yIn) : x(xIn), y(yIn) {}

	/// (x + b.x, y + b.y)
	float2 operator+(const float2& b) const { return float2(x + b.x, y + b.y); }
	/// (x - b.x, y - b.y)
	float2 operator-(const float2& b) const { return float2(x - b.x, y - b.y); }
	/// (x * s, y * s)
	float2 operator*(double s) const { return float2(x * s, y * s); }
	/// (x - s, y - s): the scalar comes off each component.
	float2 operator-(double s) const { return float2(x - s, y - s); }

	/// x * b.x + y * b.y
	double dot(const float2& b) const { return x * b.x + y * b.y; }

	/// Scales the vector to unit length in place and returns it.
	/// The length is sqrt(x*x + y*y) rounded to single precision and widened
	/// back, so the result carries single-precision error: (1, 1) becomes
	/// 0.7071067932881648 in both components. A zero length leaves the vector
	/// unchanged; a NaN length is divided through (NaN components).
	float2& Normalize()
	{
		// The rounding to float is deliberate: the ambient-occlusion
		// directions depend on it.
		const double len = static_cast<double>(static_cast<float>(std::sqrt(x * x + y * y)));
		if (len != 0.0)
		{
			x /= len;
			y /= len;
		}
		return *this;
	}

	/// Clamps `x` into [0, maxxpos]; `y` is neither tested nor changed.
	/// Returns false when `x` was clamped. A NaN `x` stays unchanged (true).
	bool CheckInBounds();
};

/// A 3-component vector in single precision: positions and normals read from
/// image passes (x from red, y from green, z from blue). Every operation
/// computes in single precision; results depend on it.
class float3
{
public:
	float x;
	float y;
	float z;

	/// Upper bound of `x` in `CheckInBounds` (2048 at start).
	static float maxxpos;
	/// Upper bound of `z` in `CheckInBounds` (2048 at start).
	static float maxzpos;

	float3(float xIn, float yIn, float zIn) : x(xIn), y(yIn), z(zIn) {}

	/// (x - b.x, y - b.y, z - b.z)
	float3 operator-(const float3& b) const { return float3(x - b.x, y - b.y, z - b.z); }
	/// (x * s, y * s, z * s)
	float3 operator*(float s) const { return float3(x * s, y * s, z * s); }
	/// (x - s, y - s, z - s): the scalar comes off each component.
	float3 operator-(float s) const { return float3(x - s, y - s, z - s); }

	/// (x * b.x + y * b.y) + z * b.z, summed in that order in single precision.
	float dot(const float3& b) const { return (x * b.x + y * b.y) + z * b.z; }

	/// Single-precision square root of (x*x + y*y) + z*z.
	float Length() const { return std::sqrt((x * x + y * y) + z * z); }

	/// Divides each component by `Length()` in place and returns the vector.
	/// A zero length leaves it unchanged (a zero vector stays zero); a NaN
	/// length is divided through (NaN components).
	float3& Normalize()
	{
		const float len = Length();
		if (len != 0.0f)
		{
			x /= len;
			y /= len;
			z /= len;
		}
		return *this;
	}

	/// Clamps `x` into [0, maxxpos] and `z` into [0, maxzpos], testing
	/// x < 0, z < 0, x > maxxpos, z > maxzpos in that order; `y` is neither
	/// tested nor changed. Returns true when nothing was clamped. A NaN
	/// component fails every test and stays unchanged.
	bool CheckInBounds();
};
