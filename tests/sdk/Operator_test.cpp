#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cmath>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <set>
#include <thread>
#include <vector>

#include "ToolHarness.h"
#include "Declarations.h"
#include "ToolSupport.h"
#include "WorkerPool.h"

namespace
{
// A chunked tool that doubles red, one row per chunk, recording the chunks.
class RowDoubler : public ThreadedOperator
{
public:
	RowDoubler() : ThreadedOperator(nullptr, ScriptVal(), TagList())
	{
		DeclarePage(*this);
		In = DeclareInput(*this, "Input", "Input", {{Attr::DataType, CLSID_DataType_Image}, {Attr::MainIndex, 1}});
		Out = DeclareOutput(*this);
	}

	void Process(Request* request) override
	{
		Source = ImageValue(In, request);
		Target = NewImageLike(Source);
		DoMultiProcess(request, Source->Height);
		Out->Set(request, Target, nullptr);
	}

	void ProcessChunk(Request*, int y) override
	{
		{
			std::lock_guard<std::mutex> lock(Mutex);
			Chunks.push_back(y);
			Threads.insert(std::this_thread::get_id());
			Bounds.insert(GetThreadCount());
		}
		PixPtr src(Source), dst(Target);
		src.GotoXY(0, y);
		dst.GotoXY(0, y);
		FltPixel p;
		for (int x = 0; x < Source->Width; ++x)
		{
			p >>= src;
			p.R *= 2;
			dst >>= p;
		}
	}

	Input* In;
	Output* Out;
	Image *Source = nullptr, *Target = nullptr;
	std::mutex Mutex;
	std::vector<int> Chunks;
	std::set<std::thread::id> Threads;
	std::set<int> Bounds;  // GetThreadCount() in the chunks
};

// A RowDoubler whose first row, in a render that may use more than one
// thread, waits until a second row has started: so that render uses two.
class PairedRowDoubler : public RowDoubler
{
public:
	void ProcessChunk(Request* request, int y) override
	{
		if (Started.fetch_add(1) == 0 && GetThreadCount() > 1)
			while (Started.load() < 2)
				std::this_thread::yield();
		RowDoubler::ProcessChunk(request, y);
	}

private:
	std::atomic<int> Started{0};
};

ImagePtr Render(RowDoubler& tool, Image* input)
{
	Request request;
	request.SetInputData(tool.In, input);
	tool.Process(&request);
	Image* out = dynamic_cast<Image*>(request.GetOutputData(tool.Out));
	if (out)
		out->Use();
	return ImagePtr(out);
}
}

TEST(DoMultiProcess, CallsEveryRowExactlyOnce)
{
	for (int threads : {1, 2, 3, 4, 7})
	{
		SetThreadCount(threads);
		RowDoubler tool;
		ImagePtr input = MakeImage(7, 301, [](int x, int y) { return Pixel(float(x + y), 0, 0); });
		ImagePtr output = Render(tool, input.get());
		std::vector<int> chunks = tool.Chunks;
		std::sort(chunks.begin(), chunks.end());
		ASSERT_EQ(chunks.size(), 301u) << threads << " threads";
		for (int y = 0; y < 301; ++y)
			EXPECT_EQ(chunks[y], y);
		if (threads == 1)
		{
			EXPECT_EQ(tool.Chunks, chunks) << "one thread runs the rows in order";
		}
		EXPECT_EQ(PixelAt(*output, 6, 300).R, 2.0f * 306);
		EXPECT_LE(tool.Threads.size(), size_t(threads));
	}
	SetThreadCount(0);
}

TEST(DoMultiProcess, ReusesThePoolAndFollowsTheThreadCount)
{
	ImagePtr input = MakeImage(3, 64, Pixel(1, 0, 0));
	auto render = [&](int threads) {
		SetThreadCount(threads);
		RowDoubler tool;
		Render(tool, input.get());
	};
	render(3);
	const long started = WorkerThreadsStarted();
	for (int i = 0; i < 20; ++i)
		render(3);
	EXPECT_EQ(WorkerThreadsStarted(), started) << "renders at one thread count start no threads";
	render(2);
	render(1);
	EXPECT_EQ(WorkerThreadsStarted(), started);
	render(4);
	EXPECT_EQ(WorkerThreadsStarted(), started + 2) << "from one helper to three";
	SetThreadCount(0);
}

// Frames rendered in parallel whose tools split into chunks, as a frame job
// runs them: every render finishes, on no more threads than the bound.
TEST(DoMultiProcess, NestedInParallelFramesFinishesWithinTheThreadCount)
{
	constexpr int Frames = 6, Rows = 150;
	SetThreadCount(3);
	ImagePtr input = MakeImage(4, Rows, [](int x, int y) { return Pixel(float(x + y), 0, 0); });
	std::vector<std::unique_ptr<RowDoubler>> tools;
	for (int frame = 0; frame < Frames; ++frame)
		tools.push_back(std::make_unique<RowDoubler>());
	std::vector<ImagePtr> outputs(Frames);
	RunOnWorkers(Frames, Frames, [&](int frame) { outputs[frame] = Render(*tools[frame], input.get()); });
	SetThreadCount(0);

	std::set<std::thread::id> threads;
	for (int frame = 0; frame < Frames; ++frame)
	{
		ASSERT_TRUE(outputs[frame]);
		EXPECT_EQ(tools[frame]->Chunks.size(), size_t(Rows));
		EXPECT_EQ(PixelAt(*outputs[frame], 3, Rows - 1).R, 2.0f * (3 + Rows - 1));
		threads.insert(tools[frame]->Threads.begin(), tools[frame]->Threads.end());
	}
	EXPECT_LE(threads.size(), 3u);
}

// Two threads render at once, each under its own bound: each render's chunks
// see that bound on every thread and use that many threads, and the pixels
// do not depend on it.
TEST(RenderThreads, ConcurrentRendersKeepTheirOwnBounds)
{
	SetThreadCount(4);  // a default neither render asks for
	ImagePtr input = MakeImage(3, 40, [](int x, int y) { return Pixel(float(x + 3 * y), 0, 0); });
	const ImagePtr expected = MakeImage(3, 40, [](int x, int y) { return Pixel(float(2 * (x + 3 * y)), 0, 0); });
	auto renderUnder = [&](int bound, std::set<int>& bounds, std::set<size_t>& threads, int& wrongPixels) {
		RenderThreads scope(bound);
		for (int i = 0; i < 200; ++i)
		{
			PairedRowDoubler tool;
			ImagePtr output = Render(tool, input.get());
			bounds.insert(tool.Bounds.begin(), tool.Bounds.end());
			threads.insert(tool.Threads.size());
			for (int y = 0; y < 40; ++y)
				for (int x = 0; x < 3; ++x)
					wrongPixels += PixelAt(*output, x, y).R != PixelAt(*expected, x, y).R;
		}
	};
	std::set<int> bounds1, bounds2;
	std::set<size_t> threads1, threads2;
	int wrong1 = 0, wrong2 = 0;
	std::thread one([&] { renderUnder(1, bounds1, threads1, wrong1); });
	std::thread two([&] { renderUnder(2, bounds2, threads2, wrong2); });
	one.join();
	two.join();
	SetThreadCount(0);
	EXPECT_EQ(bounds1, std::set<int>{1});
	EXPECT_EQ(bounds2, std::set<int>{2});
	EXPECT_EQ(threads1, std::set<size_t>{1});
	EXPECT_EQ(threads2, std::set<size_t>{2});
	EXPECT_EQ(wrong1 + wrong2, 0);
}

// The first exception a task throws reaches the caller of the run, whichever
// thread ran the task, as the type it was thrown as; the pool then serves the
// next run in full.
TEST(RunOnWorkers, AThrowingTaskOnAPoolThreadReachesTheCaller)
{
	struct Failure
	{
		std::function<void()> Throw;
		bool IsBadAlloc;
	};
	const Failure failures[] = {
		{[] { throw std::runtime_error("task failed"); }, false},
		{[] { throw std::bad_alloc(); }, true},
	};
	const std::thread::id caller = std::this_thread::get_id();
	SetThreadCount(2);
	for (const Failure& failure : failures)
	{
		// The first task on each of the two threads waits for the other's,
		// so both work in the run; the pool thread's throws.
		std::atomic<int> started{0};
		auto task = [&](int) {
			if (started.fetch_add(1) < 2)
			{
				while (started.load() < 2)
					std::this_thread::yield();
				if (std::this_thread::get_id() != caller)
					failure.Throw();
			}
		};
		try
		{
			RunOnWorkers(1000, 2, task);
			ADD_FAILURE() << "the run returned";
		}
		catch (const std::bad_alloc&)
		{
			EXPECT_TRUE(failure.IsBadAlloc);
		}
		catch (const std::runtime_error& e)
		{
			EXPECT_FALSE(failure.IsBadAlloc);
			EXPECT_STREQ(e.what(), "task failed");
		}

		std::vector<int> calls(1000);
		RunOnWorkers(1000, 2, [&](int i) { ++calls[i]; });
		EXPECT_EQ(calls, std::vector<int>(1000, 1)) << "every index once in the next run";
	}
	// Nested: a throw in an inner run leaves the inner and the outer run.
	EXPECT_THROW(RunOnWorkers(4, 2, [](int) {
		RunOnWorkers(4, 2, [](int i) {
			if (i == 3)
				throw std::runtime_error("inner task failed");
		});
	}), std::runtime_error);
	EXPECT_THROW(RunOnWorkers(10, 1, [](int i) {
		if (i == 5)
			throw std::runtime_error("task failed");
	}), std::runtime_error) << "one thread";
	SetThreadCount(0);
}

TEST(RenderCancel, ARaisedFlagStopsRunsBetweenTasksOnEveryThread)
{
	SetThreadCount(2);
	for (int threads : {1, 2})
	{
		// Task 10 raises the flag: no task starts after it, on either
		// thread, nor in a run nested in a pool thread's task.
		std::atomic<bool> flag{false};
		std::atomic<int> startedAfter{0};
		const RenderCancel cancel(&flag);
		EXPECT_THROW(RunOnWorkers(1000, threads, [&](int i) {
			if (flag)
				++startedAfter;
			if (i == 10)
				flag = true;
			RunOnWorkers(4, threads, [](int) {});
		}), RenderCancelled) << threads << " threads";
		EXPECT_EQ(startedAfter.load(), 0);
	}
	// Without the scope, or with the flag down, nothing is cancelled.
	std::atomic<bool> down{false};
	std::vector<int> calls(100);
	{
		const RenderCancel cancel(&down);
		RunOnWorkers(100, 2, [&](int i) { ++calls[i]; });
	}
	std::atomic<bool> raised{true};
	{
		const RenderCancel outer(&raised);
		const RenderCancel inner(nullptr);
		RunOnWorkers(100, 2, [&](int i) { ++calls[i]; });
	}
	EXPECT_EQ(calls, std::vector<int>(100, 2));
	SetThreadCount(0);
}

TEST(DoMultiProcess, TinyAndEmptyImages)
{
	RowDoubler tool;
	ImagePtr one = MakeImage(1, 1, Pixel(3, 0, 0));
	ImagePtr output = Render(tool, one.get());
	EXPECT_EQ(tool.Chunks, std::vector<int>{0});
	EXPECT_EQ(PixelAt(*output, 0, 0).R, 6.0f);

	RowDoubler empty;
	ImagePtr flat(new Image(5, 0));
	output = Render(empty, flat.get());
	EXPECT_TRUE(empty.Chunks.empty());
	ASSERT_TRUE(output) << "the output is set even with no rows";
	EXPECT_EQ(output->Width, 5);
	EXPECT_EQ(output->Height, 0);
}

TEST(Request, HoldsAUseOfEveryValueAndOutput)
{
	RowDoubler tool;
	Image* image = new Image(2, 2);
	Image* result = new Image(2, 2);
	{
		Request request;
		request.SetInputData(tool.In, image);
		EXPECT_EQ(image->UseCount(), 2);
		EXPECT_EQ(tool.In->GetValue<Image*>(&request, 0), image);
		tool.Out->Set(&request, result, nullptr);  // hands over its one use
		result->Use();                            // the test keeps one
		EXPECT_EQ(request.GetOutputData(tool.Out), result);
	}
	EXPECT_EQ(image->UseCount(), 1);
	EXPECT_EQ(result->UseCount(), 1);
	image->Recycle();
	result->Recycle();
}

TEST(Input, DefaultsAndWriteBack)
{
	RowDoubler tool;
	Input* number = DeclareInput(tool, "Size", "Size",
	                             {{Attr::DataType, CLSID_DataType_Number}, {Attr::Control, CLSID_InputControl_Slider},
	                              {Attr::Default, 2.5}});
	Input* row = DeclareInput(tool, "Mode", "Mode",
	                          {{Attr::DataType, CLSID_DataType_FuID}, {Attr::Control, CLSID_InputControl_MultiButtonID},
	                           {Attr::ButtonText, "A"}, {Attr::ButtonText, "B"}, {Attr::ButtonFlag, 1},
	                           {Attr::DefaultId, "B"}});
	EXPECT_EQ(double(*static_cast<Number*>(number->GetSource())), 2.5);
	EXPECT_TRUE(FuID(*static_cast<FuIDParam*>(row->GetSource())) == "B");
	EXPECT_EQ(row->Attributes().GetTexts(Attr::ButtonText), (std::vector<std::string>{"A", "B"}));

	const auto changes = number->SourceChanges();
	SetReadout(number, 7.0);
	EXPECT_EQ(double(*static_cast<Number*>(number->GetSource())), 7.0);
	EXPECT_EQ(number->GetSourceTime(), 0.0);
	EXPECT_EQ(number->SourceChanges(), changes + 1);
	EXPECT_EQ(number->GetSource()->UseCount(), 1) << "the input holds the only use of the written number";
}

TEST(Input, WhichImagesMustBeConnected)
{
	RowDoubler tool;
	auto image = [&](std::vector<DeclTag> tags) {
		tags.insert(tags.begin(), {Attr::DataType, CLSID_DataType_Image});
		return DeclareInput(tool, "I", "I", tags)->MustBeConnected();
	};
	EXPECT_TRUE(image({{Attr::MainIndex, 1}}));
	EXPECT_FALSE(image({{Attr::MainIndex, 2}}));
	EXPECT_FALSE(image({{Attr::MainIndex, 1}, {Attr::Required, 0}}));
	EXPECT_TRUE(image({{Attr::Control, CLSID_InputControl_Image}, {Attr::Required, 1}}));
}

TEST(TagList, DeclarationsStoreEachValueAsItsCodeSays)
{
	const std::vector<TagWord> words = TagWords(
		{{Attr::Default, 1}, {Attr::MainIndex, 2.0}, {Attr::ButtonText, "Left"}, {Attr::Control, CLSID_InputControl_Color}});
	TagList list(const_cast<TagWord*>(words.data()), true);
	TagStore store(list);
	EXPECT_EQ(store.GetDouble(Attr::Default), 1.0);
	EXPECT_EQ(store.GetInt(Attr::MainIndex), 2);
	EXPECT_EQ(store.GetText(Attr::ButtonText), "Left");
	EXPECT_EQ(store.GetText(Attr::Control), CLSID_InputControl_Color.GetRawString());
	EXPECT_EQ(list.Entries().size(), 4u);
}

TEST(ToolSupport, ConversionsToIntNeverOverflow)
{
	EXPECT_EQ(TruncateToInt(2.9), 2);
	EXPECT_EQ(TruncateToInt(-2.9), -2);
	EXPECT_EQ(TruncateToInt(NAN), 0);
	EXPECT_EQ(TruncateToInt(INFINITY), INT_MAX);
	EXPECT_EQ(TruncateToInt(-1e300), INT_MIN);

	EXPECT_EQ(FixedPoint(3.7), 3 * 65536);
	EXPECT_EQ(FixedPoint(-0.5), 0) << "toward zero";
	EXPECT_EQ(FixedPoint(-1.5), -65536);
	EXPECT_EQ(FixedPoint(NAN), 0);
	EXPECT_EQ(FixedPoint(1e30), 32767 * 65536);
	EXPECT_EQ(FixedPoint(-INFINITY), INT_MIN);
}
