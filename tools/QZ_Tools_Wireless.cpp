// Wireless link: outputs a copy of an image picked on its page instead of one
// wired to a main input.
#include "Declarations.h"
#include "Registration.h"
#include "ToolSupport.h"

class Wireless : public ThreadedOperator
{
public:
	Wireless(const Registry* reg, const ScriptVal& table, const TagList& tags);
	~Wireless() override = default;
	int SizeOf() override { return sizeof(Wireless); }
	void Process(Request* request) override;

	static FuID ClassID;
	static Registry Reg;

private:
	Input *InLabel, *InImage;
	Output* OutImage;

	static const std::vector<InputDecl<Wireless>>& Declarations();
};

using namespace Attr;

const std::vector<InputDecl<Wireless>>& Wireless::Declarations()
{
	static const std::vector<InputDecl<Wireless>> inputs = {
		{&Wireless::InLabel, "Wireless Link", "Wireless", LabelTags()},
		// Picked on the page: the Image control and no main connection.
		{&Wireless::InImage, "Input", "Input",
		 {{DataType, CLSID_DataType_Image}, {Control, CLSID_InputControl_Image}, {Required, 1}}},
	};
	return inputs;
}

Wireless::Wireless(const Registry* reg, const ScriptVal& table, const TagList& tags) : ThreadedOperator(reg, table, tags)
{
	DeclareControls(*this, Declarations(), &Wireless::OutImage);
}

void Wireless::Process(Request* request)
{
	Image* input = ImageValue(InImage, request);
	if (!input)
		return;
	// CopyOfImage hands memcpy the null buffer of an image without pixels; such
	// an image is copied by making a new one of its size, format and channels.
	Image* copy = input->PixelCount() == 0 ? NewImageLike(input) : input->CopyOfImage(false);
	OutImage->Set(request, copy, nullptr);
}

QZ_REGISTER_TOOL(Wireless, "Korvane.Wireless",
                 {"Wireless", "QZ_Tools\\Misc", "Wireless", "Wireless Link", IconDissolve, true, true});
