// Dirty depth of field: a fast, approximate defocus driven by a depth pass.
// Instead of spreading each pixel over its blur circle it gathers: a fixed
// number of draws land on the pixel itself or on a neighbour 15 pixels away,
// and a neighbour whose own blur circle reaches the pixel bleeds its colour
// into it. Pixels in focus or behind the zone of focus take colour only from
// nearer neighbours; pixels in front of it from any neighbour that reaches.
// With "Do Blur" off the output is the blur-circle diameter of each pixel.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "Declarations.h"
#include "DepthOfField.h"
#include "PixelSampler.h"
#include "Random.h"
#include "Registration.h"
#include "ToolSupport.h"
#include "kernels/DirtyDof.h"

using namespace DirtyDofKernel;

class DirtyDof : public ThreadedOperator
{
public:
	DirtyDof(const Registry* reg, const ScriptVal& table, const TagList& tags);
	~DirtyDof() override = default;
	int SizeOf() override { return sizeof(DirtyDof); }
	void Process(Request* request) override;
	void ProcessChunk(Request* request, int chunk) override;

	static FuID ClassID;
	static Registry Reg;

private:
	Input *InLabel, *InDoBlur, *InSamples, *InBleedThreshold, *InPlaneOfFocus, *InFocalLength, *InFstop;
	Input *InApertureWidth, *InApertureHeight, *InImage, *InDepth;
	Output* OutImage;

	// The request in hand: written by Process before the chunks run, only
	// read by them.
	Image* Colour = nullptr;
	Image* Depth = nullptr;
	Image* Result = nullptr;
	double BlurSwitch = 0.0;  // 0: output the blur size
	int SampleCount = 0;      // draws per pass
	double Near = 0.0, Far = 0.0;  // m; Far 0 when it lies at infinity
	LensBlur Lens{};
	std::vector<std::uint8_t> DrawTargets;  // DrawTarget of each draw, two passes' worth

	// What the blur reads of every pixel, found once before the blur: the
	// mean depth of each pixel of the colour image's extent and which draw
	// offsets its blur radius reaches across (draws land on no other depth
	// pixel; the depth pass is not read again), and the colours.
	bool MeasuringDepths = false;  // the chunks fill PixelDepths and PixelReaches
	ScratchArray<float> PixelDepths;
	ScratchArray<std::uint8_t> PixelReaches;
	std::unique_ptr<PixelSampler> Colours;

	static const std::vector<InputDecl<DirtyDof>>& Declarations();
	void MeasureDepths(int y);
	void ShowBlurSizes(int y);
	void Blur(int y);
	FltPixel Gather(int x, int y, float z, const FltPixel& own) const;
};

using namespace Attr;

const std::vector<InputDecl<DirtyDof>>& DirtyDof::Declarations()
{
	const DeclTag number{DataType, CLSID_DataType_Number}, slider{Control, CLSID_InputControl_Slider};
	static const std::vector<InputDecl<DirtyDof>> inputs = {
		{&DirtyDof::InLabel, "Dirty Depth Of Field", "DirtyDOF", LabelTags()},
		{&DirtyDof::InDoBlur, "Do Blur", "DoBlur", {number, {Control, CLSID_InputControl_Checkbox}, {Default, 1.0}}},
		{&DirtyDof::InSamples, "Circular Samples", "cSamples",
		 {number, slider, {IntegerOnly, 1}, {RangeHigh, 500.0}, {RangeLow, 3.0}, {Default, 20.0}},
		 10000},  // draws per pass: twenty times the slider's reach
		{&DirtyDof::InBleedThreshold, "Bleed Threshold", "BleedThreshold",
		 {number, slider, {RangeHigh, 100.0}, {RangeLow, 0.5}, {Default, 7.0}}},
		{&DirtyDof::InPlaneOfFocus, "Plane Of Focus (m)", "PlaneOfFocus",
		 {number, {Control, CLSID_InputControl_Color}, {ControlGroup, 1}, {ControlChannel, 0}, {Default, 9.107735}}},
		{&DirtyDof::InFocalLength, "FocalLength", "FocalLength",
		 {number, slider, {RangeLow, 4.0}, {RangeHigh, 400.0}, {Default, 50.0}, {IntegerOnly, 1}}},
		{&DirtyDof::InFstop, "Fstop", "Fstop", {number, slider, {RangeLow, 0.0}, {Default, 2.8}}},
		{&DirtyDof::InApertureWidth, "Aperture Width (inch)", "ApertureWidth", {number, slider, {RangeLow, 0.0}, {Default, 0.98}}},
		{&DirtyDof::InApertureHeight, "Aperture Height (inch)", "ApertureHeight", {number, slider, {RangeLow, 0.0}, {Default, 0.735}}},
		{&DirtyDof::InImage, "Image", "Image", {{DataType, CLSID_DataType_Image}, {MainIndex, 1}, {Required, 1}}},
		{&DirtyDof::InDepth, "Zdepth", "Zdepth", {{DataType, CLSID_DataType_Image}, {MainIndex, 2}, {Required, 1}}},
	};
	return inputs;
}

DirtyDof::DirtyDof(const Registry* reg, const ScriptVal& table, const TagList& tags) : ThreadedOperator(reg, table, tags)
{
	DeclareControls(*this, Declarations(), &DirtyDof::OutImage);
}

/// Distance in pixels, along each axis, of an off-centre draw.
constexpr int SampleSpread = 15;

/// Where a draw lands: the pixel itself, SampleSpread pixels to the left,
/// SampleSpread rows lower, or both; with its distance from the pixel,
/// sqrt(dx^2 + dy^2).
struct DrawOffset
{
	int Dx, Dy;
	double Distance;
};

const DrawOffset DrawOffsets[4] = {
	{0, 0, 0.0},
	{-SampleSpread, 0, double(SampleSpread)},
	{0, -SampleSpread, double(SampleSpread)},
	{-SampleSpread, -SampleSpread, std::sqrt(2.0 * SampleSpread * SampleSpread)},
};

namespace DirtyDofKernel
{
/// The DrawOffsets index of one draw made from two successive generator
/// results: row offset ((r1 mod 200) div 100) - 1 and column offset
/// ((r2 mod 200) div 100) - 1, each -1 or 0 (times SampleSpread).
std::uint8_t DrawTarget(int r1, int r2)
{
	const int oy = ((r1 % 200) / 100) - 1;
	const int ox = ((r2 % 200) / 100) - 1;
	return static_cast<std::uint8_t>((ox == -1 ? 1 : 0) + (oy == -1 ? 2 : 0));
}

/// z = ((R + G + B) / 3) in single precision: the depth of a depth-pass pixel.
float MeanDepth(const FltPixel& pixel)
{
	return ((pixel.R + pixel.G) + pixel.B) / 3.0f;
}

/// b(z) = |((f / N) * f) * (|1000 z| - F) / (|1000 z| * (F - f))| in double:
/// the thin-lens blur-circle diameter in mm, 0 at the plane of focus.
double BlurDiameter(float z, const LensBlur& lens)
{
	const double distance = std::fabs(1000 * static_cast<double>(z));
	return std::fabs(lens.LensFactor * (distance - lens.FocusDistance) / (distance * lens.FocusLessFocal));
}

/// r(z) = (b(z) / c) / 2: the blur radius in pixels.
double BlurRadius(float z, const LensBlur& lens)
{
	return (BlurDiameter(z, lens) / lens.PermissibleCircle) / 2;
}

/// Starts at the pixel's own colour; the weight starts at its alpha,
/// whatever its sign.
ColourSum::ColourSum(const FltPixel& own) : R(own.R), G(own.G), B(own.B), A(own.A), Weight(own.A) {}

void ColourSum::Add(const Bgra& q)
{
	R += q.R;
	G += q.G;
	B += q.B;
	A += q.A;
	if (q.A > 0)
		Weight += q.A;
}

/// Each channel widened, divided by the weight and narrowed, when the
/// weight is above 0; the undivided sums otherwise.
void ColourSum::WriteTo(FltPixel& out) const
{
	const bool divide = Weight > 0;
	out.R = divide ? static_cast<float>(R / Weight) : R;
	out.G = divide ? static_cast<float>(G / Weight) : G;
	out.B = divide ? static_cast<float>(B / Weight) : B;
	out.A = divide ? static_cast<float>(A / Weight) : A;
}

/// The off-centre draw offsets a blur radius reaches across, r > distance:
/// bit i for DrawOffsets[i]. (A pixel is a neighbour across each of them, so
/// one byte keeps every test its radius takes part in.)
std::uint8_t ReachedOffsets(double radius)
{
	std::uint8_t reached = 0;
	for (int i = 1; i < 4; ++i)
		reached |= (radius > DrawOffsets[i].Distance) << i;
	return reached;
}

/// Whether a draw on a neighbour brings its colour: its blur reaches the
/// pixel, r(zs) > distance, and in the depth-tested passes it is also nearer
/// the camera, |zs| < zc.
bool TakesDraw(const Neighbour& n, bool depthTested, double zc)
{
	return n.Reaches && (!depthTested || std::fabs(n.Depth) < zc);
}
}

/// The draws of one blurred pixel: the sequence srand(50) and rand() give,
/// from a private generator, so every pixel on every thread makes the same
/// draws. A pixel runs at most two passes (in front of the near limit and
/// behind a far limit of 0), `count` draws each, continuing one sequence.
static std::vector<std::uint8_t> DrawSequence(int count)
{
	std::vector<std::uint8_t> targets;
	if (count <= 0)
		return targets;
	const std::size_t draws = 2 * static_cast<std::size_t>(count);
	targets.reserve(draws);
	SeededRandom random(50);
	for (std::size_t i = 0; i < draws; ++i)
	{
		const int r1 = random();
		const int r2 = random();
		targets.push_back(DrawTarget(r1, r2));
	}
	return targets;
}

// A draw on the pixel itself brings the pixel's own colour whether it is
// taken or not, so only the three off-centre targets are looked at, each once
// per pixel: no draw lands anywhere else.
FltPixel DirtyDof::Gather(int x, int y, float z, const FltPixel& own) const
{
	const double zc = std::fabs(z);
	const bool passes[3][2] = {
		{Near <= zc && zc <= Far, true},  // in focus
		{zc < Near, false},               // in front: no depth test
		{zc > Far, true},                 // behind
	};
	const int width = Colour->Width;

	ColourSum sum(own);
	const Bgra ownColour{own.B, own.G, own.R, own.A};
	Neighbour neighbours[4];  // by DrawOffsets index; [0], the pixel itself, unused
	bool sampled = false;
	std::size_t next = 0;
	for (const auto& [runs, depthTested] : passes)
	{
		if (!runs || SampleCount <= 0)
			continue;
		if (!sampled)
		{
			for (int i = 1; i < 4; ++i)
			{
				const size_t at = static_cast<size_t>(std::max(y + DrawOffsets[i].Dy, 0)) * width +
				                  static_cast<size_t>(std::max(x + DrawOffsets[i].Dx, 0));
				neighbours[i].Depth = PixelDepths[at];
				neighbours[i].Reaches = (PixelReaches[at] >> i) & 1;
			}
			sampled = true;
		}
		const Bgra* source[4] = {&ownColour, &ownColour, &ownColour, &ownColour};
		for (int i = 1; i < 4; ++i)
		{
			Neighbour& n = neighbours[i];
			if (!TakesDraw(n, depthTested, zc))
				continue;
			if (!n.HasColour)
			{
				n.Colour = Colours->Duplicate(x + DrawOffsets[i].Dx, y + DrawOffsets[i].Dy);
				n.HasColour = true;
			}
			source[i] = &n.Colour;
		}
		for (int i = 0; i < SampleCount; ++i)
			sum.Add(*source[DrawTargets[next++]]);
	}

	FltPixel out;
	sum.WriteTo(out);
	return out;
}

void DirtyDof::ProcessChunk(Request* /*request*/, int y)
{
	if (MeasuringDepths)
		MeasureDepths(y);
	else if (BlurSwitch == 0)
		ShowBlurSizes(y);
	else
		Blur(y);
}

void DirtyDof::MeasureDepths(int y)
{
	PixPtr depthAt(Depth);
	depthAt.GotoXY(0, y);
	FltPixel depth;
	const size_t row = static_cast<size_t>(y) * Colour->Width;
	for (int x = 0; x < Colour->Width; ++x)
	{
		depth >>= depthAt;
		const float z = MeanDepth(depth);
		PixelDepths[row + x] = z;
		PixelReaches[row + x] = ReachedOffsets(BlurRadius(z, Lens));
	}
}

void DirtyDof::ShowBlurSizes(int y)
{
	PixPtr depthAt(Depth), out(Result);
	depthAt.GotoXY(0, y);
	out.GotoXY(0, y);
	FltPixel depth, result;
	for (int x = 0; x < Colour->Width; ++x)
	{
		depth >>= depthAt;
		result.R = result.G = result.B = result.A = static_cast<float>(BlurDiameter(MeanDepth(depth), Lens));
		out >>= result;
	}
}

void DirtyDof::Blur(int y)
{
	PixPtr colourAt(Colour), out(Result);
	colourAt.GotoXY(0, y);
	out.GotoXY(0, y);
	const float* depths = PixelDepths.data() + static_cast<size_t>(y) * Colour->Width;
	FltPixel colour;
	for (int x = 0; x < Colour->Width; ++x)
	{
		colour >>= colourAt;
		out >>= Gather(x, y, depths[x], colour);
	}
}

void DirtyDof::Process(Request* request)
{
	Colour = ImageValue(InImage, request);
	Depth = ImageValue(InDepth, request);
	// Every row reads as many depth pixels as the colour image is wide.
	if (!Colour || !Depth || Depth->Width < Colour->Width || Depth->Height < Colour->Height)
		return;

	const double plane = std::fabs(NumberValue(InPlaneOfFocus, request));
	BlurSwitch = NumberValue(InDoBlur, request);
	SampleCount = TruncateToInt(NumberValue(InSamples, request));
	const double fstop = NumberValue(InFstop, request);
	const double focal = TruncateToInt(NumberValue(InFocalLength, request));

	CameraSettings camera;
	camera.FocalLength = focal;
	camera.PlaneOfFocus = plane;
	camera.ApertureWidth = NumberValue(InApertureWidth, request);
	camera.ApertureHeight = NumberValue(InApertureHeight, request);
	camera.Fstop = fstop;
	const DepthOfField dof = ComputeDepthOfField(camera);
	Near = dof.Near;
	Far = dof.ShownFar();

	const double focus = plane * 1000;
	Lens = {(focal / fstop) * focal, focus, focus - focal, dof.CircleOfConfusion};
	DrawTargets = DrawSequence(SampleCount);

	if (BlurSwitch != 0)
	{
		const size_t pixels = Colour->PixelCount();
		PixelDepths = ScratchArray<float>(pixels);
		PixelReaches = ScratchArray<std::uint8_t>(pixels);
		Colours = std::make_unique<PixelSampler>(Colour);
		MeasuringDepths = true;
		DoMultiProcess(request, Colour->Height);
		MeasuringDepths = false;
	}
	// Every pixel is written by the rows, so the new image is not cleared.
	Result = NewImageLike(Colour);
	DoMultiProcess(request, Colour->Height);
	OutImage->Set(request, Result, nullptr);
	PixelDepths = {};
	PixelReaches = {};
	Colours.reset();
}

QZ_REGISTER_TOOL(DirtyDof, "Korvane.DirtyDof",
                 {"DirtyDOF", "QZ_Tools\\Blur", "DirtyDOF", "DirtyDOF", IconBlur, false, false});
