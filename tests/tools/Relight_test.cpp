#include <gtest/gtest.h>

#include <cmath>

#include "ToolHarness.h"

namespace
{
// Pass pixels at the given distances from the light (0, 0, 0) along red, in
// one row, alpha 1 unless given.
ImagePtr Row(std::vector<float> distances, float alpha = 1.0f)
{
	return MakeImage(static_cast<int>(distances.size()), 1,
	                 [=](int x, int) { return Pixel(distances[x], 0, 0, alpha); });
}

// The mask values of a one-row pass, from red; each checked to fill all four channels.
std::vector<float> Masks(Image* pass, const std::map<std::string, double>& numbers = {},
                         Image* map = nullptr, const std::map<std::string, std::string>& choices = {})
{
	std::map<std::string, Image*> images{{"NormalsOrPosition", pass}};
	if (map)
		images["Intensity/Size Map"] = map;
	RenderResult result = RunTool("IntuitiveRelighter", images, numbers, choices);
	auto same = [](float a, float b) { return a == b || (std::isnan(a) && std::isnan(b)); };
	std::vector<float> values;
	for (int x = 0; x < pass->Width; ++x)
	{
		const FltPixel p = PixelAt(*result.Output, x, 0);
		EXPECT_TRUE(same(p.G, p.R) && same(p.B, p.R) && same(p.A, p.R)) << "pixel " << x;
		values.push_back(p.R);
	}
	return values;
}

using Values = std::vector<float>;
}

TEST(Relight, Declarations)
{
	const std::string colour = "DataType=Number,Control=ColorControl,";
	EXPECT_EQ(Declarations("IntuitiveRelighter"), (std::vector<std::string>{
		"Relight|Intuitive Relighter|Control=LabelControl,Flag0000=0,Flag0010=1",
		"Red|Red|" + colour + "GroupName=Light Position/Direction,ControlGroup=2,ControlChannel=0,Default=0",
		"Green|Green|" + colour + "ControlGroup=2,ControlChannel=1,Default=0",
		"Blue|Blue|" + colour + "ControlGroup=2,ControlChannel=2,Default=0",
		"LightIntensity|Light Intensity|DataType=Number,Control=SliderControl,Default=1",
		"LightSize|Light Size|DataType=Number,Control=SliderControl,Default=0",
		"Map Fuction|Map Function|DataType=FuID,Control=MultiButtonIDControl,ButtonText=Intensity,ButtonText=Size,"
		"ButtonFlag=1,DefaultId=Intensity",
		"Map Channel|Multiply By Channel|DataType=FuID,Control=MultiButtonIDControl,ButtonText=Red,ButtonText=Green,"
		"ButtonText=Blue,ButtonText=Luminance,ButtonText=Alpha,ButtonFlag=1,DefaultId=Luminance",
		"NormalsOrPosition|NormalsOrPosition|DataType=Image,MainIndex=1,Required=1",
		"Intensity/Size Map|Intensity/Size Map|DataType=Image,MainIndex=2,Required=0",
		"Output|Output|DataType=Image,MainIndex=1",
	}));
}

TEST(Relight, Ramps)
{
	// Defaults (S = 0, I = 1): k = -1, mask = 1 - clamp(1 + (dist - 1)) = max(1 - dist, 0).
	ImagePtr pass = Row({0.0f, 0.5f, 1.0f, 3.0f});
	EXPECT_EQ(Masks(pass.get()), (Values{1.0f, 0.5f, 0.0f, 0.0f}));

	// S = 0.5 < I = 1: k = -2; t = 1 + 2 (dist - 1): -0.5, 0.5, 3 for 0.25, 0.75, 2.
	ImagePtr core = Row({0.25f, 0.75f, 2.0f});
	EXPECT_EQ(Masks(core.get(), {{"LightSize", 0.5}}), (Values{1.0f, 0.5f, 0.0f}));

	// S = 2 > I = 1: k = 1; t = 1 - (dist - 1): 1.5, 0.5, -1 for 0.5, 1.5, 3.
	ImagePtr ring = Row({0.5f, 1.5f, 3.0f});
	EXPECT_EQ(Masks(ring.get(), {{"LightSize", 2.0}}), (Values{0.0f, 0.5f, 1.0f}));
}

TEST(Relight, DistanceIsEuclideanFromTheLightInRgb)
{
	// Light (0.5, 0.25, -1), pixel (0.5, 0.625, -0.5): (0, 0.375, 0.5) apart,
	// dist = sqrt(0.140625 + 0.25) = 0.625 exactly; mask 1 - 0.625.
	ImagePtr pass = MakeImage(1, 1, Pixel(0.5f, 0.625f, -0.5f));
	EXPECT_EQ(Masks(pass.get(), {{"Red", 0.5}, {"Green", 0.25}, {"Blue", -1.0}}), (Values{0.375f}));
}

TEST(Relight, AlphaPremultipliesAllFourChannelsAndOtherChannelsPass)
{
	EXPECT_EQ(Masks(Row({0.5f, 0.0f}, 0.5f).get()), (Values{0.25f, 0.5f}));
	EXPECT_EQ(Masks(Row({0.0f}, 0.0f).get()), (Values{0.0f}));

	ImagePtr withDepth = MakeImage(1, 1, [](int, int) {
		FltPixel p = Pixel(0.5f, 0, 0);
		p.Aux[0] = 12.0f;
		return p;
	}, PixelFormat::Float, {"Z"});
	RenderResult result = RunTool("IntuitiveRelighter", {{"NormalsOrPosition", withDepth.get()}});
	EXPECT_EQ(PixelAt(*result.Output, 0, 0).Aux[0], 12.0f);
}

TEST(Relight, EqualSizeAndReachGiveAHardEdge)
{
	// S = I = 0.5: 1 up to the radius (inclusive), 0 beyond; never NaN.
	ImagePtr pass = Row({0.0f, 0.25f, 0.5f, 0.75f, 2.0f});
	EXPECT_EQ(Masks(pass.get(), {{"LightSize", 0.5}, {"LightIntensity", 0.5}}), (Values{1.0f, 1.0f, 1.0f, 0.0f, 0.0f}));
	EXPECT_EQ(Masks(Row({0.5f, 0.75f}, 0.5f).get(), {{"LightSize", 0.5}, {"LightIntensity", 0.5}}),
	          (Values{0.5f, 0.0f}));
	// Both 0: only the light's own position is lit.
	EXPECT_EQ(Masks(Row({0.0f, 0.25f}).get(), {{"LightSize", 0.0}, {"LightIntensity", 0.0}}), (Values{1.0f, 0.0f}));

	// Reached through the map: S = 0.5 and I = 1 × 0.5 per pixel.
	ImagePtr half = MakeImage(5, 1, Pixel(0.5f, 0, 0));
	EXPECT_EQ(Masks(pass.get(), {{"LightSize", 0.5}}, half.get(), {{"Map Channel", "Red"}}),
	          (Values{1.0f, 1.0f, 1.0f, 0.0f, 0.0f}));
	// A NaN distance stays NaN, as it does on any ramp.
	ImagePtr nan = Row({NAN});
	EXPECT_TRUE(std::isnan(Masks(nan.get(), {{"LightSize", 0.5}, {"LightIntensity", 0.5}})[0]));
}

TEST(Relight, MapScalesTheChosenRadius)
{
	// One row of distances 0.25 and 0.75, one map pixel each:
	// map (R, G, B, A) = (0.5, 2, 0.25, 0.75) and (0.5, 2, 0.75, 0.25).
	ImagePtr pass = Row({0.25f, 0.75f});
	ImagePtr map = MakeImage(2, 1, [](int x, int) { return Pixel(0.5f, 2.0f, x ? 0.75f : 0.25f, x ? 0.25f : 0.75f); });
	auto masks = [&](const char* function, const char* channel, double size) {
		return Masks(pass.get(), {{"LightSize", size}}, map.get(), {{"Map Fuction", function}, {"Map Channel", channel}});
	};
	// "Intensity", "Red": I = 0.5, k = -2: t = 1 + 2 (dist - 0.5) = 0.5, 1.5.
	EXPECT_EQ(masks("Intensity", "Red", 0.0), (Values{0.5f, 0.0f}));
	// "Intensity", "Green": I = 2, k = -0.5: t = 1 + (dist - 2) / 2 = 0.125, 0.375.
	EXPECT_EQ(masks("Intensity", "Green", 0.0), (Values{0.875f, 0.625f}));
	// "Intensity", "Blue": I = 0.25 and 0.75, each pixel at its reach: t = 1, mask 0.
	EXPECT_EQ(masks("Intensity", "Blue", 0.0), (Values{0.0f, 0.0f}));
	// "Intensity", "Alpha": I = 0.75: k = -4/3, t = 1 + (dist - 0.75) × 4/3;
	// pixel 0: 1 - 2/3 → mask 2/3; pixel 1, I = 0.25: dist beyond → 0.
	const Values alpha = masks("Intensity", "Alpha", 0.0);
	EXPECT_NEAR(alpha[0], 2.0 / 3.0, 1e-7);
	EXPECT_EQ(alpha[1], 0.0f);
	// "Size" with the default S = 0: 0 × v = 0, the map changes nothing.
	EXPECT_EQ(masks("Size", "Green", 0.0), (Values{0.75f, 0.25f}));
	// "Size", "Green", S = 0.25: S = 0.5, k = -2: t = 1 + 2 (dist - 1) = -0.5, 0.5.
	EXPECT_EQ(masks("Size", "Green", 0.25), (Values{1.0f, 0.5f}));
	// A function or channel that is no button leaves S = 0.25 and I = 1:
	// k = -4/3, t = 1 + (dist - 1) × 4/3 = 0 and 2/3.
	for (auto [function, channel] : {std::pair{"Both", "Red"}, std::pair{"Size", "Depth"}})
	{
		const Values plain = masks(function, channel, 0.25);
		EXPECT_EQ(plain[0], 1.0f) << function << " " << channel;
		EXPECT_NEAR(plain[1], 1.0 / 3.0, 1e-7) << function << " " << channel;
	}
}

TEST(Relight, LuminanceMapIsThePlainMean)
{
	// Map (0.25, 0.5, 0.75): mean 0.5 exactly, so I = 0.5 and dist 0.25 gives 0.5.
	ImagePtr pass = Row({0.25f});
	ImagePtr map = MakeImage(1, 1, Pixel(0.25f, 0.5f, 0.75f));
	EXPECT_EQ(Masks(pass.get(), {}, map.get()), (Values{0.5f}));
}

TEST(Relight, MapOfAnotherSizeLeavesTheOutputCleared)
{
	ImagePtr pass = MakeImage(3, 2, Pixel(0, 0, 0));
	for (auto [w, h] : {std::pair{2, 2}, std::pair{3, 1}})
	{
		ImagePtr map = MakeImage(w, h, Pixel(1, 1, 1));
		RenderResult result =
			RunTool("IntuitiveRelighter", {{"NormalsOrPosition", pass.get()}, {"Intensity/Size Map", map.get()}});
		ImagePtr cleared(new Image(3, 2));
		EXPECT_TRUE(SameImage(*result.Output, *cleared)) << w << "x" << h;
	}
}
