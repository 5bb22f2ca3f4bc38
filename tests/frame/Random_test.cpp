#include "Random.h"
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

namespace {

/// A draw source that hands out a fixed list of draws and counts the calls.
struct Script
{
	std::vector<int> Draws;
	std::size_t Calls = 0;
	int operator()() { return Draws.at(Calls++); }
};

const int MaxDraw = 2147483647;

TEST(RandDouble, Formula)
{
	Script zero{{0}};
	EXPECT_EQ(randDouble(0.45, 0.55, zero), 0.45);
	// (2^31 - 1) / 2^31 * 0.10000000000000003 + 0.45 (0.55 - 0.45 in double).
	Script top{{MaxDraw}};
	const double high = randDouble(0.45, 0.55, top);
	EXPECT_NEAR(high, 0.549999999953434, 1e-15);
	EXPECT_LT(high, 0.55);
	// The divisor is 2^31: a draw of 2^30 lands exactly in the middle.
	Script half{{1 << 30}};
	EXPECT_EQ(randDouble(1.0, 5.0, half), 3.0);

	for (int r : {0, 1 << 30, 123456789, MaxDraw})
	{
		Script forward{{r}}, backward{{r}}, same{{r}};
		EXPECT_EQ(randDouble(5.0, 1.0, backward), randDouble(1.0, 5.0, forward)) << r;
		EXPECT_EQ(randDouble(2.0, 2.0, same), 2.0) << r;
		EXPECT_EQ(same.Calls, 1u);
	}
}

TEST(GetRandom, DirectionFromScriptedDraws)
{
	// u = v = 0.45: p = 0.45 * 2 - 1 = -0.09999999999999998 in both
	// components; |p| = 0.1414213562373095 rounds to the float
	// 0.1414213627576828, and p over it is -0.7071067485846824.
	Script low{{0, 0}};
	const float2 d = getRandom(low);
	EXPECT_EQ(low.Calls, 2u);
	EXPECT_EQ(d.x, -0.7071067485846824);
	EXPECT_EQ(d.y, -0.7071067485846824);

	// The first draw becomes x: v = 0.549999999953434 gives
	// p.y = 0.09999999990686792; the float-rounded length is unchanged.
	Script mixed{{0, MaxDraw}};
	const float2 e = getRandom(mixed);
	EXPECT_EQ(e.x, -0.7071067485846824);
	EXPECT_EQ(e.y, 0.7071067479261394);

	// Draws of 2^30 give u = v = 0.5 exactly, so p = (0, 0) stays zero.
	Script middle{{1 << 30, 1 << 30}};
	const float2 z = getRandom(middle);
	EXPECT_EQ(z.x, 0.0);
	EXPECT_EQ(z.y, 0.0);
}

TEST(GetRandom, PlainVersionsDrawFromRand)
{
	std::srand(7);
	const int r[4] = {std::rand(), std::rand(), std::rand(), std::rand()};

	std::srand(7);
	// Over [0, 2^31) the result is the draw itself.
	EXPECT_EQ(randDouble(0.0, 2147483648.0), static_cast<double>(r[0]));
	Script next{{r[1], r[2]}};
	const float2 expected = getRandom(next);
	const float2 d = getRandom();
	EXPECT_EQ(d.x, expected.x);
	EXPECT_EQ(d.y, expected.y);
	EXPECT_EQ(std::rand(), r[3]);
}

TEST(SeededRandom, MatchesSrandThenRandWithoutTouchingIt)
{
	std::srand(50);
	std::vector<int> oracle;
	for (int i = 0; i < 40; ++i)
		oracle.push_back(std::rand());
	EXPECT_EQ(seededDraws(50, 40), oracle);
	// Pinned so that a platform with another generator is noticed.
	EXPECT_EQ(seededDraws(50, 4), (std::vector<int>{1920540202, 1350000510, 223544838, 2095625645}));
	EXPECT_TRUE(seededDraws(50, 0).empty());
	EXPECT_TRUE(seededDraws(50, -3).empty());

	// The process-wide generator continues its own sequence.
	std::srand(123);
	const int r0 = std::rand();
	SeededRandom draw(50);
	for (int i = 0; i < 100; ++i)
		draw();
	const int r1 = std::rand();
	std::srand(123);
	EXPECT_EQ(std::rand(), r0);
	EXPECT_EQ(std::rand(), r1);
}

TEST(SeededRandom, InstancesAndCopiesAreIndependent)
{
	const std::vector<int> seq = seededDraws(50, 41);

	SeededRandom a(50), b(50);
	for (std::size_t i = 0; i < 3; ++i)
	{
		EXPECT_EQ(a(), seq[i]) << i;
		EXPECT_EQ(b(), seq[i]) << i;
	}

	// A copy continues from where its original stood, on its own state,
	// and outlives it. The original runs well ahead first, so that a copy
	// reading or writing the original's state would go astray.
	auto original = std::make_unique<SeededRandom>(50);
	(*original)();
	SeededRandom copy(*original);
	for (std::size_t i = 1; i < 40; ++i)
		ASSERT_EQ((*original)(), seq[i]) << i;
	for (std::size_t i = 1; i < 40; ++i)
		ASSERT_EQ(copy(), seq[i]) << i;
	original.reset();
	EXPECT_EQ(copy(), seq[40]);

	SeededRandom assigned(7);
	assigned = a;
	EXPECT_EQ(assigned(), seq[3]);
	EXPECT_EQ(a(), seq[3]);
	EXPECT_EQ(assigned(), seq[4]);
}

} // namespace
