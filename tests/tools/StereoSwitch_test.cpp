#include <gtest/gtest.h>

#include "ToolHarness.h"

TEST(StereoSwitch, Declarations)
{
	EXPECT_EQ(Declarations("StereoSwitch"), (std::vector<std::string>{
		"StereoSwitch|Stereo Input Switch|Control=LabelControl,Flag0000=0,Flag0010=1",
		"Input|Input|DataType=FuID,Control=MultiButtonIDControl,Flag0000=1,ButtonText=Left,ButtonText=Right,"
		"ButtonFlag=1,DefaultId=Left",
		"LeftImage|Left Image|DataType=Image,MainIndex=1,Required=0",
		"RightImage|Right Image|DataType=Image,MainIndex=2,Required=0",
		"Output|Output|DataType=Image,MainIndex=1",
	}));
}

TEST(StereoSwitch, HandsOnTheChosenImageItself)
{
	// Different sizes and formats: the switch never looks at the pixels.
	ImagePtr left = MakeImage(3, 2, Pixel(1, 0, 0));
	ImagePtr right = MakeImage(1, 1, Pixel(0, 1, 0), PixelFormat::UInt8);
	const std::map<std::string, Image*> both = {{"LeftImage", left.get()}, {"RightImage", right.get()}};

	{
		RenderResult byDefault = RunTool("StereoSwitch", both);
		EXPECT_EQ(byDefault.Output, left.get());
		// Ours and the one the output handed to the result: the output got its own use.
		EXPECT_EQ(left->UseCount(), 2);
	}
	EXPECT_EQ(left->UseCount(), 1);

	RenderResult chosenLeft = RunTool("StereoSwitch", both, {}, {{"Input", "Left"}});
	EXPECT_EQ(chosenLeft.Output, left.get());
	RenderResult chosenRight = RunTool("StereoSwitch", both, {}, {{"Input", "Right"}});
	EXPECT_EQ(chosenRight.Output, right.get());
	EXPECT_EQ(right->UseCount(), 2);
}

TEST(StereoSwitch, NoOutputWithoutTheChosenImage)
{
	ImagePtr left = MakeImage(2, 2, Pixel(1, 0, 0));
	ImagePtr right = MakeImage(2, 2, Pixel(0, 1, 0));
	EXPECT_EQ(RunTool("StereoSwitch", {{"LeftImage", left.get()}}, {}, {{"Input", "Right"}}).Output, nullptr);
	EXPECT_EQ(RunTool("StereoSwitch", {{"RightImage", right.get()}}).Output, nullptr);
	EXPECT_EQ(RunTool("StereoSwitch", {}).Output, nullptr);
	// A choice that is neither button (only a script can set one) picks neither image.
	EXPECT_EQ(RunTool("StereoSwitch", {{"LeftImage", left.get()}, {"RightImage", right.get()}}, {}, {{"Input", "left"}})
	              .Output,
	          nullptr);
	// Nothing was kept or released on the way.
	EXPECT_EQ(left->UseCount(), 1);
	EXPECT_EQ(right->UseCount(), 1);
}
