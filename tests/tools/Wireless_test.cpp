#include <gtest/gtest.h>

#include "ToolHarness.h"

TEST(Wireless, Declarations)
{
	EXPECT_EQ(Declarations("Wireless"), (std::vector<std::string>{
		"Wireless|Wireless Link|Control=LabelControl,Flag0000=0,Flag0010=1",
		"Input|Input|DataType=Image,Control=ImageControl,Required=1",
		"Output|Output|DataType=Image,MainIndex=1",
	}));
}

TEST(Wireless, OutputIsAnEqualCopyNotTheInput)
{
	for (PixelFormat format : {PixelFormat::Float, PixelFormat::Half, PixelFormat::UInt16, PixelFormat::UInt8})
	{
		SCOPED_TRACE(PixelFormatName(format));
		ImagePtr image = MakeImage(
			5, 3,
			[](int x, int y) {
				FltPixel p = Pixel(x * 0.2f, y * 0.25f, -2.0f, 0.5f);
				p.Aux[0] = 3.0f * x;
				return p;
			},
			format, {"Z"});
		RenderResult result = RunTool("Wireless", {{"Input", image.get()}});
		ASSERT_TRUE(result.Output);
		EXPECT_NE(result.Output, image.get());
		EXPECT_NE(result.Output->Data(), image->Data());
		EXPECT_TRUE(SameImage(*result.Output, *image));
		// The input got no use from the copy.
		EXPECT_EQ(image->UseCount(), 1);
	}
}

TEST(Wireless, CopiesAnImageWithoutPixels)
{
	for (auto [width, height] : {std::pair{4, 0}, std::pair{0, 3}})
	{
		ImagePtr empty(new Image(width, height, PixelFormat::Half, {"Z"}));
		RenderResult result = RunTool("Wireless", {{"Input", empty.get()}});
		ASSERT_TRUE(result.Output);
		EXPECT_NE(result.Output, empty.get());
		// Compared field by field: SameImage would hand memcmp null buffers.
		EXPECT_EQ(result.Output->Width, width);
		EXPECT_EQ(result.Output->Height, height);
		EXPECT_EQ(result.Output->Format(), PixelFormat::Half);
		EXPECT_EQ(result.Output->AuxChannels(), std::vector<std::string>{"Z"});
	}
}
