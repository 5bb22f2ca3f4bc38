#include <gtest/gtest.h>

#include <cmath>
#include <Imath/half.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "ToolHarness.h"

namespace
{
FltPixel Read(Image& image, int x, int y)
{
	FltPixel pixel;
	PixPtr(&image).GetPixel(x, y, pixel);
	return pixel;
}
}

TEST(Image, EveryFormatStoresTheNearestValueItHas)
{
	// 0.2 is 51/255 and 13107/65535 exactly; 0.3 lies halfway between two
	// 8-bit and two 16-bit steps and rounds up.
	struct Case
	{
		PixelFormat Format;
		float Stored02, Stored03;
	};
	for (Case c : {Case{PixelFormat::Float, 0.2f, 0.3f},
	               Case{PixelFormat::Half, float(Imath::half(0.2f)), float(Imath::half(0.3f))},
	               Case{PixelFormat::UInt16, 0.2f, 19661 / 65535.0f}, Case{PixelFormat::UInt8, 0.2f, 77 / 255.0f}})
	{
		Image image(2, 1, c.Format);
		PixPtr cursor(&image);
		cursor.GotoXY(0, 0);
		cursor >>= Pixel(0.2f, 1.0f, 0.3f, 0.0f);
		const FltPixel p = Read(image, 0, 0);
		EXPECT_EQ(p.R, c.Stored02) << PixelFormatName(c.Format);
		EXPECT_EQ(p.G, 1.0f) << PixelFormatName(c.Format);
		EXPECT_EQ(p.B, c.Stored03) << PixelFormatName(c.Format);
		EXPECT_EQ(p.A, 0.0f) << PixelFormatName(c.Format);
	}
}

TEST(Image, IntegerFormatsClampAndStoreNanAsZero)
{
	Image image(1, 1, PixelFormat::UInt8);
	PixPtr(&image).SetPixel(0, 0, Pixel(-2.0f, 7.0f, std::numeric_limits<float>::quiet_NaN(), 0.5f));
	const FltPixel p = Read(image, 0, 0);
	EXPECT_EQ(p.R, 0.0f);
	EXPECT_EQ(p.G, 1.0f);
	EXPECT_EQ(p.B, 0.0f);
	EXPECT_EQ(p.A, 128 / 255.0f);
}

TEST(Image, FloatKeepsNonFiniteValuesAndAuxiliaryChannels)
{
	Image image(1, 1, PixelFormat::Float, {"Z", "N.x"});
	FltPixel in = Pixel(INFINITY, -INFINITY, NAN, 2.0f);
	in.Aux[0] = 12.5f;
	in.Aux[1] = -1.0f;
	PixPtr(&image).SetPixel(0, 0, in);
	const FltPixel p = Read(image, 0, 0);
	EXPECT_EQ(p.R, INFINITY);
	EXPECT_EQ(p.G, -INFINITY);
	EXPECT_TRUE(std::isnan(p.B));
	EXPECT_EQ(p.Aux[0], 12.5f);
	EXPECT_EQ(p.Aux[1], -1.0f);
	EXPECT_EQ(image.NumChannels(), 6);
}

TEST(Image, CursorWalksRowsAndNeverLeavesTheImage)
{
	ImagePtr image = MakeImage(3, 2, [](int x, int y) { return Pixel(float(x), float(y), 0); });
	PixPtr cursor(image.get());
	cursor.GotoXY(1, 1);
	FltPixel p;
	p >>= cursor;
	EXPECT_EQ(p.R, 1.0f);
	p >>= cursor;
	EXPECT_EQ(p.R, 2.0f);
	// Past the last pixel: black, and writes there are dropped.
	p >>= cursor;
	EXPECT_EQ(p.R, 0.0f);
	EXPECT_EQ(p.A, 0.0f);
	cursor.GotoXY(-1, 0);
	cursor >>= Pixel(9, 9, 9);
	cursor.GotoXY(0, 2);
	cursor >>= Pixel(9, 9, 9);
	for (int y = 0; y < 2; ++y)
		for (int x = 0; x < 3; ++x)
			EXPECT_EQ(Read(*image, x, y).R, float(x));
}

TEST(Image, CursorOnANullImageReadsBlackAndDropsWrites)
{
	PixPtr cursor(nullptr);
	FltPixel p = Pixel(5, 6, 7, 8);
	cursor.GetPixel(0, 0, p);
	EXPECT_EQ(std::vector<float>({p.B, p.G, p.R, p.A}), std::vector<float>(4, 0.0f));
	cursor.SetPixel(0, 0, Pixel(9, 9, 9));
	cursor.GotoXY(0, 0);
	cursor >>= Pixel(9, 9, 9);
	p = Pixel(5, 6, 7, 8);
	p >>= cursor;
	EXPECT_EQ(p.R, 0.0f);
}

TEST(Image, FillSetsColourChannelsAndClearsAuxiliary)
{
	Image image(2, 2, PixelFormat::Half, {"Z"});
	FltPixel p = Pixel(1, 1, 1, 1);
	p.Aux[0] = 5;
	PixPtr(&image).SetPixel(1, 1, p);
	image.Fill(0, 0, 0, 0);
	for (int y = 0; y < 2; ++y)
		for (int x = 0; x < 2; ++x)
		{
			const FltPixel q = Read(image, x, y);
			EXPECT_EQ(q.R + q.G + q.B + q.A + q.Aux[0], 0.0f);
		}
	image.Fill(65535, 0, 32768, 65535);
	EXPECT_EQ(Read(image, 0, 0).R, 1.0f);
	EXPECT_EQ(Read(image, 0, 0).B, Imath::half(32768 / 65535.0f));
}

TEST(Image, CopyIsEqualAndIndependent)
{
	ImagePtr image = MakeImage(3, 2, [](int x, int y) { return Pixel(float(x), float(y), 0.5f); }, PixelFormat::UInt16);
	ImagePtr copy(image->CopyOfImage(false));
	ASSERT_NE(copy.get(), image.get());
	EXPECT_TRUE(SameImage(*image, *copy));
	PixPtr(copy.get()).SetPixel(0, 0, Pixel(1, 1, 1));
	EXPECT_EQ(Read(*image, 0, 0).R, 0.0f);

	Image empty(0, 3, PixelFormat::Half, {"Z"});
	ImagePtr emptyCopy(empty.CopyOfImage(false));
	EXPECT_TRUE(SameImage(empty, *emptyCopy));
}

TEST(Image, NewImageCopiesTheModelsShape)
{
	Image model(5, 3, PixelFormat::Half, {"Z"});
	TagWord words[] = {Attr::ModelImage, TagFromPointer(&model), 0};
	ImagePtr made(NewImageTagList(TagList(words, false)));
	ASSERT_TRUE(made);
	EXPECT_EQ(made->Width, 5);
	EXPECT_EQ(made->Height, 3);
	EXPECT_EQ(made->Format(), PixelFormat::Half);
	EXPECT_EQ(made->AuxChannels(), std::vector<std::string>{"Z"});
	EXPECT_EQ(NewImageTagList(TagList()), nullptr);
}

TEST(Image, SamplersOutsideTheImage)
{
	// Pixel (x, y) holds red x + 1 and green y + 1.
	ImagePtr image = MakeImage(3, 2, [](int x, int y) { return Pixel(x + 1.0f, y + 1.0f, 0); });
	auto at = [](int pixel) { return pixel * 65536; };
	FltPixel p;

	image->SamplePixelB(at(1), at(1), p);
	EXPECT_EQ(p.R, 2.0f);
	image->SamplePixelB(at(-1), at(0), p);
	EXPECT_EQ(p.R + p.G + p.A, 0.0f);
	image->SamplePixelB(at(3), at(0), p);
	EXPECT_EQ(p.R + p.G + p.A, 0.0f);

	image->SamplePixelW(at(-1), at(2), p);  // wraps to (2, 0)
	EXPECT_EQ(p.R, 3.0f);
	EXPECT_EQ(p.G, 1.0f);
	image->SamplePixelW(at(4), at(-3), p);  // wraps to (1, 1)
	EXPECT_EQ(p.R, 2.0f);
	EXPECT_EQ(p.G, 2.0f);

	image->SamplePixelD(at(-7), at(9), p);  // nearest edge pixel (0, 1)
	EXPECT_EQ(p.R, 1.0f);
	EXPECT_EQ(p.G, 2.0f);
	image->SamplePixelD(INT32_MAX, INT32_MIN, p);  // (2, 0)
	EXPECT_EQ(p.R, 3.0f);
	EXPECT_EQ(p.G, 1.0f);

	Image empty(0, 0);
	p = Pixel(1, 1, 1);
	empty.SamplePixelD(0, 0, p);
	EXPECT_EQ(p.R, 0.0f);
	empty.SamplePixelW(0, 0, p);
	EXPECT_EQ(p.R, 0.0f);
}

TEST(Image, FreedPixelsAreRecycledAndClearedWhenAskedFor)
{
	constexpr int Side = 509;  // 4 MB of float RGBA: large enough to be kept, a size no other test uses
	constexpr size_t Floats = size_t(Side) * Side * 4;
	const uint8_t* freed = nullptr;
	{
		Image image(Side, Side);
		std::memset(image.Data(), 0xff, Floats * sizeof(float));
		freed = image.Data();
	}
	ScratchArray<float> scratch(Floats);
	EXPECT_EQ(reinterpret_cast<const uint8_t*>(scratch.data()), freed);
	EXPECT_EQ(scratch.size(), Floats);

	scratch = ScratchArray<float>();  // gives the buffer back
	Image cleared(Side, Side);
	EXPECT_EQ(cleared.Data(), freed);
	EXPECT_EQ(std::count(cleared.Data(), cleared.Data() + Floats * sizeof(float), 0), ptrdiff_t(Floats * sizeof(float)));
}
