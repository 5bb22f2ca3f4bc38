#pragma once
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "FuID.h"
#include "Image.h"
#include "Object.h"
#include "Registry.h"
#include "TagList.h"

// Data types of inputs and outputs.
extern const FuID CLSID_DataType_Number;
extern const FuID CLSID_DataType_Image;
extern const FuID CLSID_DataType_FuID;

// Controls that edit inputs on a tool's page.
extern const FuID CLSID_InputControl_Slider;
extern const FuID CLSID_InputControl_Checkbox;
extern const FuID CLSID_InputControl_Color;
extern const FuID CLSID_InputControl_MultiButtonID;
extern const FuID CLSID_InputControl_Label;
extern const FuID CLSID_InputControl_Image;

class Operator;
class Request;

/// One declared input of a tool: a control on its page or an image connection.
/// The host owns it for the tool's lifetime.
class Input
{
public:
	Input(const FuID& caption, const FuID& id, const TagList& attrs);
	virtual ~Input();

	/// The input's value for `request` (`Request::GetInputData`): a `Number`,
	/// a `FuIDParam` or an `Image`, or null for an unconnected image.
	Parameter* GetValue(Request* request, int flags = 0);

	template <class T>
	T GetValue(Request* request, int flags = 0)
	{
		Parameter* value = GetValue(request, flags);
		return value ? value->GetValue<T>() : nullptr;
	}

	/// Gives the input a new value from `time` on. The input takes a use of
	/// `param`. Returns true when the value was taken.
	virtual bool SetSource(Parameter* param, int flags, TagList* tags, double time);

	const FuID& Caption() const { return Cap; }
	const FuID& ID() const { return Id; }
	const TagStore& Attributes() const { return Attrs; }

	/// The current value of a Number or button-row input (null for images and
	/// labels), and the time it was set for.
	Parameter* GetSource() const { return Source; }
	double GetSourceTime() const { return SourceTime; }
	/// Counts `SetSource` calls, so a host can tell which inputs a render wrote.
	unsigned long long SourceChanges() const { return Changes; }

	bool IsImage() const;
	bool IsNumber() const;
	bool IsButtonRow() const;
	/// True when the host must not render without this image: `Required` 1,
	/// or the main image (`MainIndex` 1) of an input that declares no `Required`.
	bool MustBeConnected() const;

	/// The largest value a host may give a number that counts the tool's
	/// work per pixel (samples, sets of directions); such an input takes no
	/// inf or NaN either. A slider's range is soft, so without a limit a typo
	/// such as 1e9 renders for hours. The tool sets it as it declares the
	/// input; it is no declared attribute, so the page stays as declared.
	void SetWorkLimit(int maximum) { Limit = maximum; }
	std::optional<int> WorkLimit() const { return Limit; }

private:
	FuID Cap, Id;
	TagStore Attrs;
	std::optional<int> Limit;
	Parameter* Source = nullptr;
	double SourceTime = 0.0;
	unsigned long long Changes = 0;
};

/// The image output of a tool.
class Output
{
public:
	Output(const FuID& caption, const FuID& id, const TagList& attrs);

	/// Makes `param` the output's result for `request`, handing over one use
	/// of it. The tag list is not used.
	bool Set(Request* request, Parameter* param, TagList* tags = nullptr);

	const FuID& Caption() const { return Cap; }
	const FuID& ID() const { return Id; }
	const TagStore& Attributes() const { return Attrs; }

private:
	FuID Cap, Id;
	TagStore Attrs;
};

/// One render of one tool at one time: the input values the host prepared and
/// the outputs the tool set. Holds a use of every value; releases them when
/// destroyed.
class Request
{
public:
	explicit Request(double time = 0.0) : Time(time) {}
	Request(const Request&) = delete;
	Request& operator=(const Request&) = delete;
	~Request();

	double GetTime() const { return Time; }

	Parameter* GetInputData(Input* input, int flags = 0) const;
	/// Host side: the value `input` has in this request; takes a use of `param`.
	void SetInputData(Input* input, Parameter* param);

	/// Takes over one use of `param` as the result of `output`.
	bool SetOutputData(Output* output, Parameter* param);
	Parameter* GetOutputData(Output* output) const;

private:
	double Time;
	std::map<const Input*, Parameter*> Inputs;
	std::map<const Output*, Parameter*> Outputs;
};

/// A declared control page.
struct ControlPage
{
	std::string Name;
	TagStore Attrs;
};

/// A tool's refusal of a request beyond one of its work bounds, thrown out
/// of `Process` before any work starts; the host reports its text.
class RenderRefused : public std::runtime_error
{
public:
	using std::runtime_error::runtime_error;
};

/// A bound on a render's work that depends on its images rather than on one
/// number (which `Input::SetWorkLimit` bounds): what is counted, and the most
/// a render may take.
struct WorkBound
{
	std::string Counted;
	double Maximum;
};

/// Base of every tool: declarations, the render entry point and registration hooks.
class Operator : public Object
{
public:
	Operator(const Registry* reg, const ScriptVal& table, const TagList& tags);
	~Operator() override;

	static FuID ClassID;

	/// Size in bytes of the tool object.
	virtual int SizeOf() { return sizeof(Operator); }
	/// Renders one request. The default sets no output.
	virtual void Process(Request* request);

	virtual void AddControlPageTagList(const char* name, TagList& attrs);
	virtual Input* AddInputTagList(const FuID& caption, const FuID& id, TagList& attrs);
	virtual Output* AddOutputTagList(const FuID& caption, const FuID& id, TagList& attrs);

	/// Hooks a registration record names for its class: called by the host
	/// after a record joins the class list and before it leaves.
	static bool RegInit(Registry* reg);
	static void RegCleanup(Registry* reg);

	const Registry* GetRegistry() const { return Reg; }
	const std::vector<ControlPage>& Pages() const { return PageList; }
	const std::vector<std::unique_ptr<Input>>& Inputs() const { return InputList; }
	const std::vector<std::unique_ptr<Output>>& Outputs() const { return OutputList; }
	/// The input with this ID, or null.
	Input* FindInput(const std::string& id) const;

	/// Declares a bound on every render's work; a host states it with the
	/// tool's page.
	void DeclareWorkBound(const WorkBound& bound) { Bounds.push_back(bound); }
	const std::vector<WorkBound>& WorkBounds() const { return Bounds; }
	/// Throws `RenderRefused` when `amount`, worked out as `formula`, is
	/// beyond bound `index`, saying how many times beyond it is.
	void RefuseBeyondBound(size_t index, double amount, const std::string& formula) const;

private:
	const Registry* Reg;
	std::vector<WorkBound> Bounds;
	std::vector<ControlPage> PageList;
	std::vector<std::unique_ptr<Input>> InputList;
	std::vector<std::unique_ptr<Output>> OutputList;
};

/// A tool that may split a render into chunks run on the host's worker threads.
class ThreadedOperator : public Operator
{
public:
	using Operator::Operator;

	static FuID ClassID;

	int SizeOf() override { return sizeof(ThreadedOperator); }

	/// Renders chunk `chunk` of the request in hand. Called by `DoMultiProcess`.
	virtual void ProcessChunk(Request* request, int chunk);

	/// Calls `ProcessChunk(request, i)` once for every i in 0 .. n-1, several at
	/// once on the process's worker pool (`RunOnWorkers`: at most
	/// `GetThreadCount()` threads, the caller included; in order on the
	/// calling thread when that is 1), and returns when all have returned.
	/// The first exception a chunk throws, on any thread, reaches the caller.
	void DoMultiProcess(Request* request, int n);

	/// True once a render of this tool has split into chunks.
	bool SplitsIntoChunks() const { return UsedChunks; }

private:
	bool UsedChunks = false;
};

/// The process default of the worker threads a render may use, the caller
/// included; 0 means one per core. A host sets it once, at its start.
void SetThreadCount(int threads);
/// The process default: `SetThreadCount`'s number, or one per core.
int GetDefaultThreadCount();
/// The worker threads a render on this thread may use: the bound of the
/// innermost `RenderThreads` in force on it, else the process default. In a
/// task of `RunOnWorkers`, on any thread, the bound of the run's caller.
int GetThreadCount();

/// Bounds the renders of the calling thread to `threads` worker threads (the
/// caller included) while the scope lasts, without touching the process
/// default or other threads' renders; 0 (or less) means the process default.
/// Scopes nest: the bound in force before comes back at the end of one.
class RenderThreads
{
public:
	explicit RenderThreads(int threads);
	~RenderThreads();
	RenderThreads(const RenderThreads&) = delete;
	RenderThreads& operator=(const RenderThreads&) = delete;

private:
	int Previous;
};
