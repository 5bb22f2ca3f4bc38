// Every tool's render on small random images and random input values: sizes
// from 0 x 0, secondary images of other sizes, any float (counts excepted),
// any button text.
#include "FuzzSupport.h"
#include "qz/core/ToolSession.h"

namespace
{
struct Recycle
{
	void operator()(Image* image) const { image->Recycle(); }
};

std::unique_ptr<Image, Recycle> RandomImage(FuzzBytes& bytes, int width, int height)
{
	std::unique_ptr<Image, Recycle> image(new Image(width, height));
	FltPixel pixel;
	for (size_t i = 0; i < image->PixelCount(); ++i)
	{
		pixel.R = bytes.Float();
		pixel.G = bytes.Float();
		pixel.B = bytes.Float();
		pixel.A = bytes.Float();
		image->WritePixel(i, pixel);
	}
	return image;
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
	static const bool oneThread = (SetThreadCount(1), true);
	(void)oneThread;
	FuzzBytes bytes(data, size);
	const auto tools = FuzzPlugins().Tools();
	ToolSession session(tools[bytes.Byte() % tools.size()]);

	const int width = bytes.Byte() % 9, height = bytes.Byte() % 9;
	std::vector<std::unique_ptr<Image, Recycle>> images;
	for (const auto& input : session.Tool().Inputs())
	{
		const std::string id = input->ID().GetRawString();
		// Counts (samples, passes) scale the work a render does by design, so
		// they stay within their sliders' reach; every other number is any float.
		if (input->IsNumber() && input->Attributes().GetInt(Attr::IntegerOnly) == 1)
			session.SetNumber(id, static_cast<int>(bytes.Byte()) * 4 - 16);
		else if (input->IsNumber())
			session.SetNumber(id, bytes.Float());
		else if (input->IsButtonRow())
		{
			const auto buttons = input->Attributes().GetTexts(Attr::ButtonText);
			const uint8_t choice = bytes.Byte();
			session.SetValue(id, choice < buttons.size() * 40 ? buttons[choice % buttons.size()] : bytes.Text(8));
		}
		else if (input->IsImage() && bytes.Byte() % 8 != 0)
		{
			// Mostly the main size; sometimes a size of its own.
			const bool ownSize = images.size() > 0 && bytes.Byte() % 4 == 0;
			const int w = ownSize ? bytes.Byte() % 9 : width, h = ownSize ? bytes.Byte() % 9 : height;
			images.push_back(RandomImage(bytes, w, h));
			session.Connect(id, images.back().get());
		}
	}
	try
	{
		session.Render();
	}
	catch (const std::exception&)
	{
		// The host's own refusals (an unconnected required image) are fine.
	}
	return 0;
}
