// Z depth divider: divides the colour channels of a depth pass by "Zmax", so
// that a remapped depth pass becomes a defocus amount of 0 to 1.
#include "Declarations.h"
#include "Registration.h"
#include "ToolSupport.h"
#include "kernels/ZDevider.h"

class ZDevider : public ThreadedOperator
{
public:
	ZDevider(const Registry* reg, const ScriptVal& table, const TagList& tags);
	~ZDevider() override = default;
	int SizeOf() override { return sizeof(ZDevider); }
	void Process(Request* request) override;

	static FuID ClassID;
	static Registry Reg;

private:
	Input *InLabel, *InZmax, *InImage;
	Output* OutImage;

	static const std::vector<InputDecl<ZDevider>>& Declarations();
};

using namespace Attr;

const std::vector<InputDecl<ZDevider>>& ZDevider::Declarations()
{
	static const std::vector<InputDecl<ZDevider>> inputs = {
		{&ZDevider::InLabel, "Devides Zdepth values to supress superwhites", "ICI", LabelTags()},
		{&ZDevider::InZmax, "Pick Zmax from Remapped Z depth", "Zmax",
		 {{DataType, CLSID_DataType_Number}, {Control, CLSID_InputControl_Color}, {ControlGroup, 1}, {ControlChannel, 0},
		  {Default, 1.0}}},
		{&ZDevider::InImage, "Input", "Input", {{DataType, CLSID_DataType_Image}, {MainIndex, 1}}},
	};
	return inputs;
}

ZDevider::ZDevider(const Registry* reg, const ScriptVal& table, const TagList& tags) : ThreadedOperator(reg, table, tags)
{
	DeclareControls(*this, Declarations(), &ZDevider::OutImage);
}

/// One channel divided by Zmax in double, narrowed back to float.
float ZDeviderKernel::DivideChannel(float value, double zmax)
{
	return static_cast<float>(value / zmax);
}

using namespace ZDeviderKernel;

void ZDevider::Process(Request* request)
{
	const double zmax = NumberValue(InZmax, request);
	Image* input = ImageValue(InImage, request);
	if (!input)
		return;
	Image* output = NewImageLike(input);

	MapPixels(input, output, [zmax](FltPixel& pixel) {
		pixel.R = DivideChannel(pixel.R, zmax);
		pixel.G = DivideChannel(pixel.G, zmax);
		pixel.B = DivideChannel(pixel.B, zmax);
	});
	OutImage->Set(request, output, nullptr);
}

QZ_REGISTER_TOOL(ZDevider, "Korvane.ZDevider",
                 {"ZDevider", "QZ_Tools\\DofTools", "ZDevider", "Z Depth Devider Tool", IconBrightness, true, true});
