// Colour conversions on reading and writing: a 1920 x 1080 half EXR read with
// `:colorspace=ACEScct` and written with the save's colour space ACEScg, on
// two threads, against the same read and write without conversion. Goal:
// within 1.3 times.
#include <filesystem>

#include "BenchHarness.h"
#include "Operator.h"
#include "qz/io/ImageFiles.h"

namespace
{
std::string HalfPlate()
{
	const std::string path = (std::filesystem::temp_directory_path() / "qz-bench-plate.exr").string();
	if (!std::filesystem::exists(path))
	{
		ImageHandle plate(new Image(1920, 1080));
		FltPixel pixel;
		for (size_t i = 0; i < plate->PixelCount(); ++i)
		{
			pixel.R = (i % 1920) / 1920.0f;
			pixel.G = (i / 1920) / 1080.0f;
			pixel.B = 0.5f;
			pixel.A = 1.0f;
			plate->WritePixel(i, pixel);
		}
		WriteSettings half;
		half.Type = StoredType::Half;
		WritePicture(*plate, nullptr, path, half);
	}
	return path;
}

void BM_ReadAndWriteHalfExr(benchmark::State& state)
{
	const bool converted = state.range(0) != 0;
	const std::string plate = HalfPlate();
	const std::string out = (std::filesystem::temp_directory_path() / "qz-bench-out.exr").string();
	const RenderThreads threads(2);
	SetFileThreads(2);
	ImageSource source = ImageSource::Parse(plate + (converted ? ":colorspace=ACEScct" : ""));
	WriteSettings settings;
	if (converted)
		settings.ColorSpace = "ACEScg";
	for (auto _ : state)
	{
		const Picture picture = ReadPicture(source);
		WritePicture(*picture.Pixels, picture.Context.get(), out, settings);
	}
	std::filesystem::remove(out);
}
}

BENCHMARK(BM_ReadAndWriteHalfExr)->ArgName("converted")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
