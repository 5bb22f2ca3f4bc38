#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "ToolHarness.h"

namespace
{
const float Inf = std::numeric_limits<float>::infinity();

// One normal, alpha 1 unless given.
ImagePtr Normal(float x, float y, float z, float a = 1.0f)
{
	return MakeImage(1, 1, Pixel(x, y, z, a));
}

// The mask the tool makes of a one-pixel normal pass.
FltPixel Mask(Image* normals, const std::map<std::string, double>& numbers = {})
{
	RenderResult result = RunTool("Falloff", {{"Normals", normals}}, numbers);
	EXPECT_TRUE(result.Output);
	return result.Output ? PixelAt(*result.Output, 0, 0) : FltPixel();
}

void ExpectGrey(const FltPixel& p, float value, const char* what)
{
	EXPECT_EQ(p.R, value) << what;
	EXPECT_EQ(p.G, value) << what;
	EXPECT_EQ(p.B, value) << what;
	EXPECT_EQ(p.A, value) << what;
}

// Renders `tool` with only `images` connected and hands the request straight
// to Process, as a host that skipped its Required check would. The other
// inputs carry their defaults. True when the tool set an output.
bool SetsOutputWith(const std::string& tool, const std::map<std::string, Image*>& images)
{
	ToolSession session(Tool(tool));
	Request request;
	for (const auto& input : session.Tool().Inputs())
		if (input->IsImage())
		{
			auto it = images.find(input->ID().GetRawString());
			if (it != images.end())
				request.SetInputData(input.get(), it->second);
		}
		else if (input->GetSource())
			request.SetInputData(input.get(), input->GetSource());
	session.Tool().Process(&request);
	return request.GetOutputData(session.Tool().Outputs().front().get()) != nullptr;
}
}

TEST(Fallof, Declarations)
{
	EXPECT_EQ(Declarations("Falloff"), (std::vector<std::string>{
		"Falloff|Falloff|Control=LabelControl,Flag0000=0,Flag0010=1",
		"Intensity|Intensity|DataType=Number,Control=SliderControl,Default=1",
		"Map Channel|Multiply By Channel|DataType=FuID,Control=MultiButtonIDControl,ButtonText=Red,ButtonText=Green,"
		"ButtonText=Blue,ButtonText=Luminance,ButtonText=Alpha,ButtonFlag=1,DefaultId=Luminance",
		"Normals|Normals|DataType=Image,MainIndex=1,Required=1",
		"Intensity Map|Intensity Map|DataType=Image,MainIndex=2,Required=0",
		"Output|Output|DataType=Image,MainIndex=1",
	}));
}

TEST(Fallof, FacingRatio)
{
	// Facing the viewer along z, either way and at any length: 1 - |d| = 0.
	for (float z : {1.0f, -1.0f, 7.0f, -0.25f})
		ExpectGrey(Mask(Normal(0, 0, z).get()), 0.0f, "normal along z");
	// Seen edge-on (no z): d = 0, m = min(1 × I, 1).
	ExpectGrey(Mask(Normal(1, 0, 0).get()), 1.0f, "normal along x");
	ExpectGrey(Mask(Normal(0, -3, 0).get()), 1.0f, "normal along -y");
	// (3, 0, 4): length 5 exactly, d = -0.8, 1 - 0.8 = 0.19999999999999996,
	// which narrows to 0.2f.
	ExpectGrey(Mask(Normal(3, 0, 4).get()), 0.2f, "(3, 0, 4)");
	// (0.6, 0, 0.8) in floats: the same up to single-precision error.
	const FltPixel unit = Mask(Normal(0.6f, 0, 0.8f).get());
	EXPECT_NEAR(unit.R, 0.2, 1e-6);
	EXPECT_EQ(unit.A, unit.R);
	// Intensity scales before the clamp: 0.19999999999999996 × 3 narrows to
	// 0.6f; × 10 clamps to 1; a negative intensity clamps to 0.
	ExpectGrey(Mask(Normal(3, 0, 4).get(), {{"Intensity", 3.0}}), 0.6f, "intensity 3");
	ExpectGrey(Mask(Normal(3, 0, 4).get(), {{"Intensity", 10.0}}), 1.0f, "intensity 10");
	ExpectGrey(Mask(Normal(3, 0, 4).get(), {{"Intensity", -1.0}}), 0.0f, "intensity -1");
	// A NaN intensity passes through the clamp.
	EXPECT_TRUE(std::isnan(Mask(Normal(1, 0, 0).get(), {{"Intensity", NAN}}).R));
}

TEST(Fallof, AlphaPremultipliesAllFourChannelsAndOtherChannelsPass)
{
	ExpectGrey(Mask(Normal(1, 0, 0, 0.5f).get()), 0.5f, "edge-on, alpha 0.5");
	// 0.19999999999999996 × 0.5 narrows to 0.1f.
	ExpectGrey(Mask(Normal(3, 0, 4, 0.5f).get()), 0.1f, "(3, 0, 4), alpha 0.5");
	ExpectGrey(Mask(Normal(1, 0, 0, 0.0f).get()), 0.0f, "alpha 0");

	ImagePtr withDepth = MakeImage(2, 1, [](int x, int) {
		FltPixel p = Pixel(1, 0, 0);
		p.Aux[0] = 5.0f + x;
		return p;
	}, PixelFormat::Float, {"Z"});
	RenderResult result = RunTool("Falloff", {{"Normals", withDepth.get()}});
	EXPECT_EQ(PixelAt(*result.Output, 1, 0).Aux[0], 6.0f);
	EXPECT_EQ(PixelAt(*result.Output, 1, 0).R, 1.0f);
}

TEST(Fallof, ZeroLengthNormalGivesZeroNotNan)
{
	// No direction: 0 in all four channels, whatever the alpha or intensity;
	// the other channels still pass.
	ExpectGrey(Mask(Normal(0, 0, 0).get()), 0.0f, "zero normal");
	ExpectGrey(Mask(Normal(0, 0, 0, Inf).get(), {{"Intensity", 5.0}}), 0.0f, "zero normal, alpha inf");
	ExpectGrey(Mask(Normal(-0.0f, 0, -0.0f).get()), 0.0f, "negative zeros");
	// 1e-30 squared underflows to 0 in single precision: no direction either.
	ExpectGrey(Mask(Normal(1e-30f, 0, 0).get()), 0.0f, "underflowing length");
	// A normal with an infinite component keeps its NaN (inf / inf); one
	// whose squared length overflows single precision divides to (0, 0, 0),
	// seen as edge-on.
	EXPECT_TRUE(std::isnan(Mask(Normal(Inf, 0, 0).get()).R));
	EXPECT_TRUE(std::isnan(Mask(Normal(0, 0, NAN).get()).R));
	ExpectGrey(Mask(Normal(1e30f, 0, 0).get()), 1.0f, "overflowing length");
}

TEST(Fallof, IntensityMapScalesEachPixelByOneChannel)
{
	// Three normals in a row, each edge-on (mask = min(I, 1)), and one map
	// pixel per position, so a misaligned cursor shows.
	ImagePtr normals = MakeImage(3, 2, [](int, int y) { return Pixel(y == 0 ? 1.0f : 0.0f, y == 0 ? 0.0f : 1.0f, 0); });
	ImagePtr map = MakeImage(3, 2, [](int x, int y) {
		const float base = 0.125f * (x + 3 * y);  // 0 .. 0.625
		return Pixel(base, base + 0.0625f, base + 0.125f, 0.5f);
	});
	auto render = [&](const char* channel, double intensity) {
		return RunTool("Falloff", {{"Normals", normals.get()}, {"Intensity Map", map.get()}}, {{"Intensity", intensity}},
		               {{"Map Channel", channel}});
	};
	RenderResult red = render("Red", 1.0), green = render("Green", 1.0), blue = render("Blue", 1.0);
	RenderResult alpha = render("Alpha", 1.0), luminance = render("Luminance", 1.0), bogus = render("Bogus", 0.75);
	for (int y = 0; y < 2; ++y)
		for (int x = 0; x < 3; ++x)
		{
			SCOPED_TRACE(testing::Message() << "pixel " << x << "," << y);
			const float base = 0.125f * (x + 3 * y);
			EXPECT_EQ(PixelAt(*red.Output, x, y).R, base);
			EXPECT_EQ(PixelAt(*green.Output, x, y).G, base + 0.0625f);
			EXPECT_EQ(PixelAt(*blue.Output, x, y).B, base + 0.125f);
			EXPECT_EQ(PixelAt(*alpha.Output, x, y).A, 0.5f);
			// The plain mean of the three: base + 0.0625, exact.
			EXPECT_EQ(PixelAt(*luminance.Output, x, y).R, base + 0.0625f);
			// No button matches: the intensity alone, every pixel afresh.
			EXPECT_EQ(PixelAt(*bogus.Output, x, y).R, 0.75f);
		}
	// Each pixel starts again from the request's intensity: map 0.5 at
	// intensity 1.5 gives 0.75 on every pixel, never 0.5 × 0.5 × ...
	ImagePtr half = MakeImage(3, 2, Pixel(0.5f, 0, 0));
	RenderResult scaled = RunTool("Falloff", {{"Normals", normals.get()}, {"Intensity Map", half.get()}},
	                              {{"Intensity", 1.5}}, {{"Map Channel", "Red"}});
	for (int x = 0; x < 3; ++x)
		EXPECT_EQ(PixelAt(*scaled.Output, x, 1).R, 0.75f);
}

TEST(Fallof, LuminanceIsThePlainMean)
{
	// (0.3f + 0.6f + 0.9f) / 3 = 1.800000011920929 / 3 = 0.6000000039736430,
	// which narrows to 0.6f; a weighted luma would give about 0.558.
	ImagePtr normal = Normal(1, 0, 0);
	ImagePtr map = MakeImage(1, 1, Pixel(0.3f, 0.6f, 0.9f));
	RenderResult result = RunTool("Falloff", {{"Normals", normal.get()}, {"Intensity Map", map.get()}});
	ExpectGrey(PixelAt(*result.Output, 0, 0), 0.6f, "luminance (default channel)");
}

TEST(Fallof, MapValuesAreNotClamped)
{
	// 0.19999999999999996 × (2.5 × 1) = 0.4999999999999999, narrowing to 0.5f;
	// a negative map value makes the mask 0.
	ImagePtr normals = MakeImage(2, 1, Pixel(3, 0, 4));
	ImagePtr map = MakeImage(2, 1, [](int x, int) { return Pixel(x == 0 ? 2.5f : -1.0f, 0, 0); });
	RenderResult result =
		RunTool("Falloff", {{"Normals", normals.get()}, {"Intensity Map", map.get()}}, {}, {{"Map Channel", "Red"}});
	EXPECT_EQ(PixelAt(*result.Output, 0, 0).R, 0.5f);
	EXPECT_EQ(PixelAt(*result.Output, 1, 0).R, 0.0f);
}

// The tools that read a map pixel for pixel beside their main image clear
// their output when the map has another size.
TEST(RelightTools, MapOfAnotherSizeLeavesTheOutputCleared)
{
	FltPixel edgeOn = Pixel(1, 0, 0);
	edgeOn.Aux[0] = 9.0f;
	ImagePtr main = MakeImage(4, 3, [&](int, int) { return edgeOn; }, PixelFormat::Float, {"Z"});
	const ImagePtr cleared(new Image(4, 3, PixelFormat::Float, {"Z"}));
	const struct
	{
		const char *Tool, *Main, *Map;
	} tools[] = {{"Falloff", "Normals", "Intensity Map"},
	             {"IntuitiveRelighter", "NormalsOrPosition", "Intensity/Size Map"},
	             {"SimpleSpotlight", "Position", "Normals"}};
	for (const auto& tool : tools)
		for (auto [w, h] : {std::pair{3, 3}, std::pair{4, 2}, std::pair{5, 3}})
		{
			ImagePtr map = MakeImage(w, h, Pixel(1, 1, 1));
			RenderResult result = RunTool(tool.Tool, {{tool.Main, main.get()}, {tool.Map, map.get()}});
			ASSERT_TRUE(result.Output) << tool.Tool;
			EXPECT_TRUE(SameImage(*result.Output, *cleared)) << tool.Tool << " " << w << "x" << h;
		}
}

// The four relighting tools end without output when a required image is
// missing, should a host call them without it.
TEST(RelightTools, MissingRequiredImageEndsWithoutOutput)
{
	ImagePtr pass = MakeImage(2, 2, Pixel(0.5f, 0.5f, 1.0f));
	EXPECT_TRUE(SetsOutputWith("Falloff", {{"Normals", pass.get()}}));
	EXPECT_FALSE(SetsOutputWith("Falloff", {}));
	EXPECT_FALSE(SetsOutputWith("Falloff", {{"Intensity Map", pass.get()}}));

	EXPECT_TRUE(SetsOutputWith("IntuitiveRelighter", {{"NormalsOrPosition", pass.get()}}));
	EXPECT_FALSE(SetsOutputWith("IntuitiveRelighter", {{"Intensity/Size Map", pass.get()}}));

	EXPECT_TRUE(SetsOutputWith("SimpleSpotlight", {{"Position", pass.get()}}));
	EXPECT_FALSE(SetsOutputWith("SimpleSpotlight", {{"Normals", pass.get()}}));

	EXPECT_TRUE(SetsOutputWith("SSAO", {{"Normals", pass.get()}, {"Position", pass.get()}}));
	EXPECT_FALSE(SetsOutputWith("SSAO", {{"Normals", pass.get()}}));
	EXPECT_FALSE(SetsOutputWith("SSAO", {{"Position", pass.get()}}));
	EXPECT_FALSE(SetsOutputWith("SSAO", {}));
}
