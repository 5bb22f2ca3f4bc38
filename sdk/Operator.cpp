#include "Operator.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

#include "WorkerPool.h"

const FuID CLSID_DataType_Number("Number");
const FuID CLSID_DataType_Image("Image");
const FuID CLSID_DataType_FuID("FuID");

const FuID CLSID_InputControl_Slider("SliderControl");
const FuID CLSID_InputControl_Checkbox("CheckboxControl");
const FuID CLSID_InputControl_Color("ColorControl");
const FuID CLSID_InputControl_MultiButtonID("MultiButtonIDControl");
const FuID CLSID_InputControl_Label("LabelControl");
const FuID CLSID_InputControl_Image("ImageControl");

FuID Operator::ClassID("Operator");
FuID ThreadedOperator::ClassID("ThreadedOperator");

Input::Input(const FuID& caption, const FuID& id, const TagList& attrs) : Cap(caption), Id(id), Attrs(attrs)
{
	// Numbers and button rows start at their declared defaults.
	if (IsNumber())
		Source = new Number(Attrs.GetDouble(Attr::Default, 0.0));
	else if (IsButtonRow())
		Source = new FuIDParam(FuID(Attrs.GetText(Attr::DefaultId).c_str()));
}

Input::~Input()
{
	if (Source)
		Source->Recycle();
}

Parameter* Input::GetValue(Request* request, int flags)
{
	return request->GetInputData(this, flags);
}

bool Input::SetSource(Parameter* param, int /*flags*/, TagList* /*tags*/, double time)
{
	if (!param)
		return false;
	param->Use();
	if (Source)
		Source->Recycle();
	Source = param;
	SourceTime = time;
	++Changes;
	return true;
}

bool Input::IsImage() const
{
	return Attrs.GetText(Attr::DataType) == CLSID_DataType_Image.GetRawString();
}

bool Input::IsNumber() const
{
	return Attrs.GetText(Attr::DataType) == CLSID_DataType_Number.GetRawString();
}

bool Input::IsButtonRow() const
{
	return Attrs.GetText(Attr::DataType) == CLSID_DataType_FuID.GetRawString();
}

bool Input::MustBeConnected() const
{
	if (!IsImage())
		return false;
	if (Attrs.Has(Attr::Required))
		return Attrs.GetInt(Attr::Required) != 0;
	return Attrs.GetInt(Attr::MainIndex) == 1;
}

Output::Output(const FuID& caption, const FuID& id, const TagList& attrs) : Cap(caption), Id(id), Attrs(attrs)
{
}

bool Output::Set(Request* request, Parameter* param, TagList* /*tags*/)
{
	return request->SetOutputData(this, param);
}

Request::~Request()
{
	for (auto& [input, param] : Inputs)
		if (param)
			param->Recycle();
	for (auto& [output, param] : Outputs)
		if (param)
			param->Recycle();
}

Parameter* Request::GetInputData(Input* input, int /*flags*/) const
{
	auto it = Inputs.find(input);
	return it == Inputs.end() ? nullptr : it->second;
}

void Request::SetInputData(Input* input, Parameter* param)
{
	if (param)
		param->Use();
	Parameter*& slot = Inputs[input];
	if (slot)
		slot->Recycle();
	slot = param;
}

bool Request::SetOutputData(Output* output, Parameter* param)
{
	ImagesOfRender::Claimed(param);
	Parameter*& slot = Outputs[output];
	if (slot)
		slot->Recycle();
	slot = param;
	return true;
}

Parameter* Request::GetOutputData(Output* output) const
{
	auto it = Outputs.find(output);
	return it == Outputs.end() ? nullptr : it->second;
}

Operator::Operator(const Registry* reg, const ScriptVal& /*table*/, const TagList& /*tags*/) : Reg(reg)
{
}

Operator::~Operator() = default;

void Operator::Process(Request* /*request*/)
{
}

void Operator::AddControlPageTagList(const char* name, TagList& attrs)
{
	PageList.push_back({name ? name : "", TagStore(attrs)});
}

Input* Operator::AddInputTagList(const FuID& caption, const FuID& id, TagList& attrs)
{
	InputList.push_back(std::make_unique<Input>(caption, id, attrs));
	return InputList.back().get();
}

Output* Operator::AddOutputTagList(const FuID& caption, const FuID& id, TagList& attrs)
{
	OutputList.push_back(std::make_unique<Output>(caption, id, attrs));
	return OutputList.back().get();
}

bool Operator::RegInit(Registry* /*reg*/)
{
	return true;
}

void Operator::RegCleanup(Registry* /*reg*/)
{
}

Input* Operator::FindInput(const std::string& id) const
{
	for (const auto& input : InputList)
		if (input->ID() == id.c_str())
			return input.get();
	return nullptr;
}

// Four significant digits, as a person reads a count of billions.
static std::string Approximately(double value)
{
	char text[32];
	std::snprintf(text, sizeof text, "%.4g", value);
	return text;
}

void Operator::RefuseBeyondBound(size_t index, double amount, const std::string& formula) const
{
	const WorkBound& bound = Bounds.at(index);
	if (amount <= bound.Maximum)
		return;
	throw RenderRefused(bound.Counted + " is " + formula + " = " + Approximately(amount) + ", " +
	                    Approximately(amount / bound.Maximum) + " times its hard limit of " +
	                    Approximately(bound.Maximum));
}

void ThreadedOperator::ProcessChunk(Request* /*request*/, int /*chunk*/)
{
}

static std::atomic<int> ThreadSetting{0};
// The bound of the render in hand on this thread; 0 when none is in force.
static thread_local int RenderBound = 0;

void SetThreadCount(int threads)
{
	ThreadSetting = std::max(threads, 0);
}

int GetDefaultThreadCount()
{
	int threads = ThreadSetting;
	return threads > 0 ? threads : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

int GetThreadCount()
{
	return RenderBound > 0 ? RenderBound : GetDefaultThreadCount();
}

RenderThreads::RenderThreads(int threads) : Previous(RenderBound)
{
	RenderBound = std::max(threads, 0);
}

RenderThreads::~RenderThreads()
{
	RenderBound = Previous;
}

// Chunks go to the process's worker pool, in batches; each is still one
// ProcessChunk call, so what a chunk computes does not depend on the threads.
void ThreadedOperator::DoMultiProcess(Request* request, int n)
{
	UsedChunks = true;
	RunOnWorkers(n, GetThreadCount(), [&](int chunk) { ProcessChunk(request, chunk); });
}
