#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "ToolHarness.h"
#include "Vectors.h"

namespace
{
// The light at (0, 0, 1) aiming at the origin, cone exponent `cone`.
std::map<std::string, double> DownTheZAxis(double cone, double intensity = 1.0)
{
	return {{"Blue", 1.0}, {"LightConeSize", cone}, {"LightIntensity", intensity}};
}

// The light values of a one-row position pass, from red; each checked to fill all four channels.
std::vector<float> Lights(Image* positions, const std::map<std::string, double>& numbers, Image* normals = nullptr)
{
	std::map<std::string, Image*> images{{"Position", positions}};
	if (normals)
		images["Normals"] = normals;
	RenderResult result = RunTool("SimpleSpotlight", images, numbers);
	std::vector<float> values;
	for (int x = 0; x < positions->Width; ++x)
	{
		const FltPixel p = PixelAt(*result.Output, x, 0);
		EXPECT_TRUE(p.G == p.R && p.B == p.R && p.A == p.R) << "pixel " << x;
		values.push_back(p.R);
	}
	return values;
}

ImagePtr Row(const std::vector<FltPixel>& pixels)
{
	return MakeImage(static_cast<int>(pixels.size()), 1, [=](int x, int) { return pixels[x]; });
}

using Values = std::vector<float>;
}

TEST(SimpleSpotlight, Declarations)
{
	const std::string colour = "DataType=Number,Control=ColorControl,";
	EXPECT_EQ(Declarations("SimpleSpotlight"), (std::vector<std::string>{
		"Spot Relight|Simple Spotlight (Relighter)|Control=LabelControl,Flag0000=0,Flag0010=1",
		"Red|Red|" + colour + "GroupName=Light Position,ControlGroup=2,ControlChannel=0,Default=0",
		"Green|Green|" + colour + "ControlGroup=2,ControlChannel=1,Default=0",
		"Blue|Blue|" + colour + "ControlGroup=2,ControlChannel=2,Default=0",
		"Red2|Red2|" + colour + "GroupName=Light Target,ControlGroup=3,ControlChannel=0,Default=0",
		"Green2|Green2|" + colour + "ControlGroup=3,ControlChannel=1,Default=0",
		"Blue2|Blue2|" + colour + "ControlGroup=3,ControlChannel=2,Default=0",
		"LightConeSize|Light Cone Size|DataType=Number,Control=SliderControl,RangeLow=1,RangeHighAlt=100,IntegerOnly=1,"
		"Default=8",
		"LightIntensity|Light Intensity|DataType=Number,Control=SliderControl,Default=1",
		"Position|Position|DataType=Image,MainIndex=1,Required=1",
		"Normals|Normals|DataType=Image,MainIndex=2,Required=0",
		"Output|Output|DataType=Image,MainIndex=1",
	}));
}

TEST(SimpleSpotlight, CosinePowerAroundTheAxis)
{
	ImagePtr positions = Row({Pixel(0, 0, 0), Pixel(1, 0, 0), Pixel(0, 0, 2), Pixel(0, 0, 1), Pixel(0, 0, -5)});
	// On the axis (at the target, and beyond it): cos 0 = 1. At (1, 0, 0) the
	// direction to the light is (-1, 0, 1)/√2: cos 45° ≈ 0.7071, and to the
	// 8th power 1/16. Behind the light, cos = -1: 0. At the light, the zero
	// direction gives 0.
	const Values one = Lights(positions.get(), DownTheZAxis(1.0));
	EXPECT_EQ(one[0], 1.0f);
	EXPECT_NEAR(one[1], 0.70710678, 1e-7);
	EXPECT_EQ(one[2], 0.0f);
	EXPECT_EQ(one[3], 0.0f);
	EXPECT_EQ(one[4], 1.0f);
	const Values eight = Lights(positions.get(), DownTheZAxis(8.0));
	EXPECT_EQ(eight[0], 1.0f);
	EXPECT_NEAR(eight[1], 0.0625, 1e-7);
	EXPECT_EQ(eight[2], 0.0f);
	// Nothing clamps: intensity 2 on the axis gives 2, a negative one -2.
	EXPECT_EQ(Lights(positions.get(), DownTheZAxis(8.0, 2.0))[0], 2.0f);
	EXPECT_EQ(Lights(positions.get(), DownTheZAxis(8.0, -2.0))[0], -2.0f);
	// The axis runs from the target to the light, wherever they are: light
	// (3, 1, 0), target (3, 1, 4) lights (3, 1, 9) fully and (3, 1, -1) not.
	ImagePtr shifted = Row({Pixel(3, 1, 9), Pixel(3, 1, -1)});
	EXPECT_EQ(Lights(shifted.get(), {{"Red", 3.0}, {"Green", 1.0}, {"Red2", 3.0}, {"Green2", 1.0}, {"Blue2", 4.0}}),
	          (Values{1.0f, 0.0f}));
}

TEST(SimpleSpotlight, ZeroAxisGivesNoLight)
{
	// Defaults: light and target both at the origin; the axis stays zero.
	ImagePtr positions = Row({Pixel(0, 0, 0), Pixel(1, 2, 3), Pixel(-4, 0, 0.5f)});
	EXPECT_EQ(Lights(positions.get(), {}), (Values{0.0f, 0.0f, 0.0f}));
	// The same with both moved to (2, 2, 2).
	EXPECT_EQ(Lights(positions.get(), {{"Red", 2}, {"Green", 2}, {"Blue", 2}, {"Red2", 2}, {"Green2", 2}, {"Blue2", 2}}),
	          (Values{0.0f, 0.0f, 0.0f}));
}

TEST(SimpleSpotlight, AlphaIsLitLikeAnyChannelAndOtherChannelsPass)
{
	FltPixel transparent = Pixel(0, 0, 0, 0.0f);
	transparent.Aux[0] = 7.0f;
	ImagePtr positions = MakeImage(1, 1, [&](int, int) { return transparent; }, PixelFormat::Float, {"Z"});
	RenderResult result = RunTool("SimpleSpotlight", {{"Position", positions.get()}}, DownTheZAxis(8.0, 0.5));
	const FltPixel p = PixelAt(*result.Output, 0, 0);
	EXPECT_EQ(p.A, 0.5f);
	EXPECT_EQ(p.R, 0.5f);
	EXPECT_EQ(p.Aux[0], 7.0f);
}

TEST(SimpleSpotlight, NormalTermUsesTheSpotAxis)
{
	// All pixels at the origin (spot value 1), one normal each: along the
	// axis at any length keeps 1; perpendicular, facing away or zero gives 0.
	ImagePtr positions = MakeImage(6, 1, Pixel(0, 0, 0));
	ImagePtr normals =
		Row({Pixel(0, 0, 1), Pixel(0, 0, 5), Pixel(1, 0, 0), Pixel(0, 0, -1), Pixel(0, 0, 0), Pixel(0, 0.6f, 0.8f)});
	const Values lit = Lights(positions.get(), DownTheZAxis(1.0), normals.get());
	EXPECT_EQ(lit[0], 1.0f);
	EXPECT_EQ(lit[1], 1.0f);
	EXPECT_EQ(lit[2], 0.0f);
	EXPECT_EQ(lit[3], 0.0f);
	EXPECT_EQ(lit[4], 0.0f);
	EXPECT_NEAR(lit[5], 0.8, 1e-7);

	// At (1, 0, 0) the spot gives cos 45°; a normal facing the light from
	// there, (-1, 0, 1)/√2, is still 45° off the axis: 0.7071 × 0.7071 = 0.5,
	// where the direction to the light would have kept 0.7071.
	ImagePtr side = Row({Pixel(1, 0, 0)});
	ImagePtr towardsLight = Row({Pixel(-1, 0, 1)});
	EXPECT_NEAR(Lights(side.get(), DownTheZAxis(1.0), towardsLight.get())[0], 0.5, 1e-7);
}

TEST(SimpleSpotlight, NormalPassOfAnotherSizeLeavesTheOutputCleared)
{
	ImagePtr positions = MakeImage(3, 3, Pixel(0, 0, 0));
	for (auto [w, h] : {std::pair{2, 3}, std::pair{3, 2}})
	{
		ImagePtr normals = MakeImage(w, h, Pixel(0, 0, 1));
		RenderResult result =
			RunTool("SimpleSpotlight", {{"Position", positions.get()}, {"Normals", normals.get()}}, DownTheZAxis(1.0));
		ImagePtr cleared(new Image(3, 3));
		EXPECT_TRUE(SameImage(*result.Output, *cleared)) << w << "x" << h;
	}
}

// The light of every pixel must equal float(pow(m, c) x I [x f]) bit for bit,
// however it is computed: whole cones up to far beyond the slider, broken and
// negative cones, tiny cosines whose powers underflow, intensities of both
// signs and of extreme size.
TEST(SimpleSpotlight, LightIsThePowerFormulaBitForBit)
{
	const int width = 613, height = 7;
	ImagePtr positions = MakeImage(width, height, [](int x, int y) {
		const float spread = 0.002f * static_cast<float>(x * x) + 0.3f * y;
		return Pixel(spread * std::cos(0.37f * x), spread * std::sin(0.23f * x), -0.5f - 0.01f * x);
	});
	ImagePtr normals = MakeImage(width, height, [](int x, int y) {
		return Pixel(std::sin(0.11f * x), 0.2f * y - 0.5f, 1.0f + std::cos(0.05f * x));
	});
	const float3 light(0.25f, -0.125f, 3.0f);
	float3 axis(0.25f, -0.125f, 3.0f);
	axis.Normalize();
	const auto expected = [&](const FltPixel& p, const FltPixel* n, double cone, double intensity) {
		float3 toLight(light.x - p.R, light.y - p.G, light.z - p.B);
		toLight.Normalize();
		const float d = toLight.dot(axis);
		const float m = d < 0.0f ? 0.0f : d;
		double value = std::pow(static_cast<double>(m), cone) * intensity;
		if (n)
		{
			float3 normal(n->R, n->G, n->B);
			normal.Normalize();
			const float e = normal.dot(axis);
			value = value * static_cast<double>(e < 0.0f ? 0.0f : e);
		}
		return static_cast<float>(value);
	};
	for (double cone : {0.0, 1.0, 2.0, 3.0, 8.0, 37.0, 100.0, 4096.0, 4097.0, 2.5, -3.0})
		for (double intensity : {1.0, -2.5, 1e-30, 3e38, 1e300})
			for (bool withNormals : {false, true})
			{
				std::map<std::string, Image*> images{{"Position", positions.get()}};
				if (withNormals)
					images["Normals"] = normals.get();
				RenderResult result =
				    RunTool("SimpleSpotlight", images,
				            {{"Red", 0.25}, {"Green", -0.125}, {"Blue", 3.0}, {"LightConeSize", cone},
				             {"LightIntensity", intensity}});
				ASSERT_NE(result.Output, nullptr);
				int mismatches = 0;
				for (int y = 0; y < height; ++y)
					for (int x = 0; x < width; ++x)
					{
						const FltPixel normal = PixelAt(*normals, x, y);
						const float want = expected(PixelAt(*positions, x, y), withNormals ? &normal : nullptr, cone,
						                            intensity);
						const float got = PixelAt(*result.Output, x, y).R;
						if (std::memcmp(&want, &got, sizeof want) != 0 && ++mismatches <= 3)
							ADD_FAILURE() << "cone " << cone << " intensity " << intensity << " normals " << withNormals
							              << " pixel " << x << "," << y << ": " << got << " instead of " << want;
					}
				EXPECT_EQ(mismatches, 0);
			}
}
