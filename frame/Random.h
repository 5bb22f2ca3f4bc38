#pragma once
#include "Vectors.h"
#include <cstdint>
#include <cstdlib>
#include <stdlib.h> // struct random_data (glibc)
#include <utility>
#include <vector>

/// A pseudo-random number in [min(a, b), max(a, b)) from one call of `draw`,
/// which returns an int in 0..2147483647:
///     (r / 2147483648.0) * (hi - lo) + lo
/// in double precision, in exactly that order. The divisor is 2^31 whatever
/// the source's maximum, so r = 0 gives lo and the result stays below hi;
/// randDouble(5, 1, d) equals randDouble(1, 5, d) and randDouble(2, 2, d) is 2.
/// With a NaN bound no exchange happens and the NaN propagates.
template <class Draw>
double randDouble(double a, double b, Draw&& draw)
{
	if (a > b)
		std::swap(a, b);
	const double r = static_cast<double>(draw());
	return (r / 2147483648.0) * (b - a) + a;
}

/// `randDouble(a, b, draw)` drawing from the process-wide `rand()`.
inline double randDouble(double a, double b)
{
	return randDouble(a, b, [] { return std::rand(); });
}

/// A random unit direction from two calls of `draw`: u = randDouble(0.45, 0.55),
/// then v = randDouble(0.45, 0.55); p = (float2(u, v) * 2.0) - 1.0, each
/// component in [-0.1, 0.1); returns p.Normalize() (single-precision-rounded
/// length). Directions near the diagonals are somewhat more likely than near
/// the axes. Draws of 2^30 for both give p = (0, 0), returned as the zero vector.
template <class Draw>
float2 getRandom(Draw&& draw)
{
	const double u = randDouble(0.45, 0.55, draw);
	const double v = randDouble(0.45, 0.55, draw);
	float2 p = (float2(u, v) * 2.0) - 1.0;
	return p.Normalize();
}

/// `getRandom(draw)` drawing from the process-wide `rand()`.
inline float2 getRandom()
{
	return getRandom([] { return std::rand(); });
}

/// A private, reentrant pseudo-random generator that yields exactly the
/// sequence `srand(seed)` followed by uninterrupted `rand()` calls yields on
/// glibc, without touching the process-wide generator. Each object owns its
/// state; copies continue the same sequence independently of the original.
/// One object must not be used from two threads at once.
class SeededRandom
{
public:
	explicit SeededRandom(unsigned seed);
	SeededRandom(const SeededRandom& other);
	SeededRandom& operator=(const SeededRandom& other);

	/// The next draw, in 0..2147483647.
	int operator()();

private:
	// The same size as the default state behind rand(), hence the same
	// generator type and sequence.
	static constexpr int StateWords = 32;

	void CopyFrom(const SeededRandom& other);

	std::int32_t State[StateWords];
	// Points into State: copying needs CopyFrom, not a member-wise copy.
	random_data Data;
};

/// The first `count` draws of SeededRandom(seed); empty when count <= 0.
std::vector<int> seededDraws(unsigned seed, int count);
