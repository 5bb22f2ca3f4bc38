#include <gtest/gtest.h>

#include <cmath>

#include "ToolHarness.h"

TEST(ZDevider, Declarations)
{
	EXPECT_EQ(Declarations("ZDevider"), (std::vector<std::string>{
		"ICI|Devides Zdepth values to supress superwhites|Control=LabelControl,Flag0000=0,Flag0010=1",
		"Zmax|Pick Zmax from Remapped Z depth|DataType=Number,Control=ColorControl,ControlGroup=1,ControlChannel=0,Default=1",
		"Input|Input|DataType=Image,MainIndex=1",
		"Output|Output|DataType=Image,MainIndex=1",
	}));
}

TEST(ZDevider, DividesColourChannelsOnly)
{
	FltPixel in = Pixel(2.0f, 1.0f, 8.0f, 1.0f);
	in.Aux[0] = 8.0f;
	ImagePtr image = MakeImage(3, 2, [&](int, int) { return in; }, PixelFormat::Float, {"Z"});

	RenderResult unchanged = RunTool("ZDevider", {{"Input", image.get()}});
	EXPECT_TRUE(SameImage(*unchanged.Output, *image));

	RenderResult quarter = RunTool("ZDevider", {{"Input", image.get()}}, {{"Zmax", 4.0}});
	const FltPixel out = PixelAt(*quarter.Output, 2, 1);
	EXPECT_EQ(out.R, 0.5f);
	EXPECT_EQ(out.G, 0.25f);
	EXPECT_EQ(out.B, 2.0f);
	EXPECT_EQ(out.A, 1.0f);
	EXPECT_EQ(out.Aux[0], 8.0f);

	RenderResult flipped = RunTool("ZDevider", {{"Input", image.get()}}, {{"Zmax", -4.0}});
	EXPECT_EQ(PixelAt(*flipped.Output, 0, 0).R, -0.5f);
	EXPECT_EQ(PixelAt(*flipped.Output, 0, 0).A, 1.0f);
}

TEST(ZDevider, DividesInDoubleAndNarrowsOnce)
{
	// Zmax 0.1 has no exact float; the channel is widened, divided by the
	// double Zmax and rounded once.
	ImagePtr image = MakeImage(1, 1, Pixel(1.0f, 0.1f, 3.0f));
	const double zmax = 0.1;
	RenderResult result = RunTool("ZDevider", {{"Input", image.get()}}, {{"Zmax", zmax}});
	const FltPixel out = PixelAt(*result.Output, 0, 0);
	EXPECT_EQ(out.R, static_cast<float>(1.0 / zmax));
	EXPECT_EQ(out.G, static_cast<float>(double(0.1f) / zmax));
	EXPECT_EQ(out.B, static_cast<float>(3.0 / zmax));
}

TEST(ZDevider, ZeroZmaxGivesInfinitiesAndNan)
{
	ImagePtr image = MakeImage(1, 1, Pixel(2.0f, -1.0f, 0.0f, 0.5f));
	RenderResult result = RunTool("ZDevider", {{"Input", image.get()}}, {{"Zmax", 0.0}});
	const FltPixel out = PixelAt(*result.Output, 0, 0);
	EXPECT_EQ(out.R, INFINITY);
	EXPECT_EQ(out.G, -INFINITY);
	EXPECT_TRUE(std::isnan(out.B));
	EXPECT_EQ(out.A, 0.5f);
}
