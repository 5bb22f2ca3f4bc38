// Pictures as the page takes them: float or half R, G, B, A, or the
// viewer's 8-bit display levels, a region at a step, sent a slice at a time;
// and exact pixels asked for by position.
#include "ServerImpl.h"

#include <cstring>

#include "qz/io/HalfFloats.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the render answer sends the machine's floats as they are");

using namespace studio;

namespace studio
{
// Pixels first .. first + count - 1 of `image` as float R, G, B, A into `rgba`.
void CopyRgba(const Image& image, size_t first, size_t count, float* rgba)
{
	if (image.Format() == PixelFormat::Float && image.NumChannels() == 4)
	{
		// Float B, G, R, A as stored: swapped in place, without a read per pixel.
		const uint8_t* stored = image.Data() + first * 4 * sizeof(float);
		for (size_t i = 0; i < count * 4; i += 4)
		{
			float bgra[4];
			std::memcpy(bgra, stored + i * sizeof(float), sizeof bgra);
			rgba[i] = bgra[2], rgba[i + 1] = bgra[1], rgba[i + 2] = bgra[0], rgba[i + 3] = bgra[3];
		}
		return;
	}
	FltPixel pixel;
	for (size_t i = 0; i < count; ++i)
	{
		image.ReadPixel(first + i, pixel);
		rgba[i * 4] = pixel.R, rgba[i * 4 + 1] = pixel.G, rgba[i * 4 + 2] = pixel.B, rgba[i * 4 + 3] = pixel.A;
	}
}

void SendPixels(httplib::Response& response, SharedImage image, size_t origin, size_t width, size_t height,
                int step, const PixelEncoding& encoding)
{
	// 33 MB of floats for a 1920 x 1080 frame, half that as halves, a quarter
	// of that again at every second pixel: converted a slice at a time as the
	// socket takes it, never held whole a second time.
	static constexpr size_t SlicePixels = 16384;
	const size_t pixelBytes = encoding.Kind == PixelEncoding::Floats   ? 4 * sizeof(float)
	                          : encoding.Kind == PixelEncoding::Halves ? 4 * sizeof(uint16_t)
	                                                                   : 4;
	response.set_content_provider(
		width * height * pixelBytes, "application/octet-stream",
		[image, encoding, pixelBytes, step, width, origin, floats = std::vector<float>(),
		 bytes = std::vector<unsigned char>()](size_t offset, size_t length, httplib::DataSink& sink) mutable {
			const size_t first = offset / pixelBytes, count = std::min(SlicePixels, length / pixelBytes);
			floats.resize(count * 4);
			for (size_t i = 0; i < count;)  // a run of a row at a time: the whole of it sent, or every step-th pixel
			{
				const size_t row = (first + i) / width, column = (first + i) % width;
				const size_t run = step == 1 ? std::min(count - i, width - column) : 1;
				CopyRgba(*image, origin + row * step * image->Width + column * step, run, floats.data() + 4 * i);
				i += run;
			}
			if (encoding.Kind == PixelEncoding::Floats)
				return sink.write(reinterpret_cast<const char*>(floats.data()), count * pixelBytes);
			bytes.resize(count * pixelBytes);
			if (encoding.Kind == PixelEncoding::Halves)
				ToHalf(floats.data(), 1, bytes.data(), static_cast<int>(count * 4));
			else
				encoding.View->ToDisplay(floats.data(), count, encoding.Channels, encoding.Grade, bytes.data());
			return sink.write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
		});
}
}

StudioServer::Impl::Answer StudioServer::Impl::Pixels(const httplib::Request& request, httplib::Response& response)
{
	const std::string page = request.has_param("page") ? request.get_param_value("page") : "";
	const long long generation = IntegerParam(request, "generation"), x = IntegerParam(request, "x"),
	                y = IntegerParam(request, "y"), width = IntegerParam(request, "width"),
	                height = IntegerParam(request, "height");
	const SharedImage image = Shown(page, generation);
	if (!image)
		throw RequestError{404, "the picture of render " + std::to_string(generation) + " is no longer kept"};
	if (x < 0 || y < 0 || width < 1 || height < 1 || width > image->Width - x || height > image->Height - y)
		throw RequestError{400, "pixels " + std::to_string(width) + " x " + std::to_string(height) + " at " +
		                            std::to_string(x) + ", " + std::to_string(y) + " lie outside the picture of " +
		                            std::to_string(image->Width) + " x " + std::to_string(image->Height)};
	std::string rows(size_t(width) * height * 4 * sizeof(float), '\0');
	for (long long row = 0; row < height; ++row)
		CopyRgba(*image, size_t(y + row) * image->Width + x, width,
		         reinterpret_cast<float*>(rows.data()) + size_t(row) * width * 4);
	response.body = std::move(rows);  // this httplib's set_content would copy it
	response.set_header("Content-Type", "application/octet-stream");
	return nullptr;
}
