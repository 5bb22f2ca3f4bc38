// Animated values: each interpolation and extrapolation against values worked
// out by hand from its definition, expressions, and the faults refused.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "qz/core/Error.h"
#include "qz/graph/Animation.h"

using nlohmann::json;

namespace
{
json Keys(json keys, json more = json::object())
{
	more["keys"] = keys;
	return more;
}

json KeyAt(double frame, json value, const char* interpolation = nullptr)
{
	json key = {{"frame", frame}, {"value", value}};
	if (interpolation)
		key["interpolation"] = interpolation;
	return key;
}

std::string Fault(const json& written, bool isNumber = true)
{
	try
	{
		AnimatedValue::Read(written, isNumber, 24.0);
	}
	catch (const HostError& e)
	{
		EXPECT_EQ(e.Kind, ErrorKind::Usage);
		return e.what();
	}
	return "(valid)";
}
}

TEST(AnimatedValue, InterpolationsAndExtrapolationsGiveTheirHandWorkedValues)
{
	// Three keys (0, 0), (10, 10), (20, 10). Secants 1 and 0.
	// Smooth slopes: 1 at the first key (its secant), 0 at the middle (the
	// value turns flat), 0 at the last. Catmull-Rom slopes: 1, (10 - 0) / 20
	// = 0.5, 0. With t = 0.5 the Hermite weights are 1/2, 1/8, 1/2, -1/8:
	//   smooth at 5:  0/2 + 10 * 1 / 8 + 10/2 - 10 * 0 / 8 = 6.25; at 15: 10
	//   cubic at 5:   1.25 + 5 - 10 * 0.5 / 8 = 5.625
	//   cubic at 15:  5 + 10 * 0.5 / 8 + 5 = 10.625, beyond the keys
	const auto three = [](const char* interpolation, json more = json::object()) {
		return Keys({KeyAt(0, 0, interpolation), KeyAt(10, 10, interpolation), KeyAt(20, 10, interpolation)}, more);
	};
	const json linear = Keys({KeyAt(0, 0), KeyAt(10, 10)});
	const struct
	{
		json Written;
		double Frame, Value;
	} cases[] = {
		{linear, 2.5, 2.5},
		{linear, 10, 10},
		{Keys({KeyAt(0, 3, "constant"), KeyAt(10, 7)}), 9.99, 3},
		{Keys({KeyAt(0, 3, "constant"), KeyAt(10, 7)}), 10, 7},
		{three("smooth"), 5, 6.25},
		{three("smooth"), 15, 10},
		{three("cubic"), 5, 5.625},
		{three("cubic"), 15, 10.625},
		// Bezier without handles is the smooth cubic.
		{three("bezier"), 5, 6.25},
		{Keys({KeyAt(0.5, 1), KeyAt(1.5, 3)}), 1, 2},
		// Before and after: hold, continue the end slope, repeat the range.
		{linear, -5, 0},
		{linear, 20, 10},
		{Keys({KeyAt(0, 0), KeyAt(10, 10)}, {{"before", "linear"}, {"after", "linear"}}), -5, -5},
		{Keys({KeyAt(0, 0), KeyAt(10, 10)}, {{"before", "linear"}, {"after", "linear"}}), 20, 20},
		{Keys({KeyAt(0, 0, "smooth"), KeyAt(10, 10)}, {{"after", "linear"}}), 12, 12},
		{Keys({KeyAt(0, 0, "constant"), KeyAt(10, 10)}, {{"after", "linear"}}), 12, 10},
		{three("smooth", {{"before", "linear"}}), -2, -2},
		{Keys({KeyAt(0, 0), KeyAt(10, 10)}, {{"before", "cycle"}, {"after", "cycle"}}), 15, 5},
		{Keys({KeyAt(0, 0), KeyAt(10, 10)}, {{"before", "cycle"}, {"after", "cycle"}}), -5, 5},
		{Keys({KeyAt(0, 0), KeyAt(10, 10)}, {{"before", "cycle"}, {"after", "cycle"}}), 23, 3},
		{Keys({KeyAt(4, 7)}, {{"after", "linear"}, {"before", "cycle"}}), 100, 7},
		// Expressions of each variable, with the library's functions.
		{{{"expression", "10 + 0.5 * frame"}}, 4, 12},
		{{{"expression", "time"}}, 36, 1.5},
		{{{"expression", "fps * 2"}}, 1, 48},
		{{{"expression", "max(frame, 3) + sin(0)"}}, 1, 3},
		{{{"expression", "frame > 2 ? 1 : 0"}}, 3, 1},
	};
	for (const auto& c : cases)
		EXPECT_EQ(AnimatedValue::Read(c.Written, true, 24.0).NumberAt(c.Frame), c.Value)
			<< c.Written.dump() << " at " << c.Frame;
}

TEST(AnimatedValue, BezierHandlesShapeTheSegment)
{
	// Keys (0, 0) and (10, 10), handles [5, 0] and [-5, 0]: control frames
	// 0, 5, 5, 10 and values 0, 0, 10, 10. At u = 1/4 the Bernstein weights
	// are 27/64, 27/64, 9/64, 1/64: frame (27 + 9) * 5 / 64 + 10 / 64 =
	// 2.96875, value 9 * 10 / 64 + 10 / 64 = 1.5625. At u = 1/2: (5, 5).
	const AnimatedValue eased = AnimatedValue::Read(
		Keys({{{"frame", 0}, {"value", 0}, {"interpolation", "bezier"}, {"out", {5, 0}}},
		      {{"frame", 10}, {"value", 10}, {"in", {-5, 0}}}}),
		true, 24.0);
	EXPECT_NEAR(eased.NumberAt(2.96875), 1.5625, 1e-9);
	EXPECT_NEAR(eased.NumberAt(5), 5, 1e-9);
	EXPECT_EQ(eased.NumberAt(0), 0);
	EXPECT_EQ(eased.NumberAt(10), 10);

	// Handles as the curve takes them: left out, a third of the segment
	// along the smooth slope (1 for two keys 10 apart and 10 up); beyond
	// the segment, brought back to its end.
	const AnimatedValue plain = AnimatedValue::Read(
		Keys({{{"frame", 0}, {"value", 0}, {"interpolation", "bezier"}, {"out", {20, 4}}}, KeyAt(10, 10)}), true, 24.0);
	EXPECT_EQ(plain.HandlesOf(0).Out, (std::array<double, 2>{10, 4}));
	EXPECT_FALSE(plain.HandlesOf(0).In);
	ASSERT_TRUE(plain.HandlesOf(1).In);
	EXPECT_NEAR((*plain.HandlesOf(1).In)[0], -10.0 / 3, 1e-12);
	EXPECT_NEAR((*plain.HandlesOf(1).In)[1], -10.0 / 3, 1e-12);
	EXPECT_FALSE(plain.HandlesOf(1).Out);
	EXPECT_FALSE(AnimatedValue::Read(Keys({KeyAt(0, 0), KeyAt(10, 10)}), true, 24.0).HandlesOf(0).Out);
}

TEST(AnimatedValue, SmoothNeverOvershootsWhereCubicDoes)
{
	// Keys (0, 0), (1, 10), (10, 11): a steep rise, then a slow one. The
	// Catmull-Rom slope at the middle key, 11 / 10, carries the second
	// segment past 11; the smooth curve stays within each pair of keys.
	const auto curve = [](const char* interpolation) {
		return AnimatedValue::Read(
			Keys({KeyAt(0, 0, interpolation), KeyAt(1, 10, interpolation), KeyAt(10, 11, interpolation)}), true, 24.0);
	};
	const AnimatedValue smooth = curve("smooth"), cubic = curve("cubic");
	double highest = 0, previous = -1;
	for (double frame = 0; frame <= 10; frame += 0.125)
	{
		EXPECT_GE(smooth.NumberAt(frame), previous) << "at " << frame;
		EXPECT_LE(smooth.NumberAt(frame), 11) << "at " << frame;
		previous = smooth.NumberAt(frame);
		highest = std::max(highest, cubic.NumberAt(frame));
	}
	EXPECT_GT(highest, 11);
}

TEST(AnimatedValue, ButtonRowsHoldEachKeyUntilTheNext)
{
	const AnimatedValue held = AnimatedValue::Read(Keys({KeyAt(1, "Near"), KeyAt(5, "Far")}), false, 24.0);
	for (const auto& [frame, text] : std::vector<std::pair<double, std::string>>{
		     {0, "Near"}, {3, "Near"}, {5, "Far"}, {9, "Far"}})
		EXPECT_EQ(held.TextAt(frame), text) << frame;
	const AnimatedValue cycled =
		AnimatedValue::Read(Keys({KeyAt(1, "A"), KeyAt(3, "B")}, {{"after", "cycle"}}), false, 24.0);
	EXPECT_EQ(cycled.TextAt(4), "A");  // 1 + (4 - 1) mod 2 = 2
	EXPECT_EQ(cycled.At(3), "B");
}

TEST(AnimatedValue, EveryFaultSaysWhichKeyOrWhere)
{
	const struct
	{
		json Written;
		std::string Message;
		bool IsNumber = true;
	} cases[] = {
		{"big", "takes a number, not \"big\""},
		{Keys({KeyAt(5, 1), KeyAt(2, 1)}), "key 2 (frame 2) comes before key 1 (frame 5): keys go in frame order"},
		{Keys({KeyAt(5, 1), KeyAt(5, 2)}), "keys 1 and 2 are both at frame 5"},
		{Keys({{{"value", 1}}}), "key 1 needs a \"frame\" and a \"value\""},
		{Keys({{{"frame", "inf"}, {"value", 1}}}), "key 1: \"frame\" must be a finite number, not \"inf\""},
		{Keys({KeyAt(1, 1), KeyAt(2, "x")}), "key 2: \"value\" must be a finite number, not \"x\""},
		{Keys({KeyAt(1, 1, "wobbly")}),
		 "key 1: \"interpolation\" must be one of constant, linear, smooth, cubic, bezier, not \"wobbly\""},
		{Keys({KeyAt(1, 1)}, {{"after", "bounce"}}), "\"after\" must be one of constant, linear, cycle, not \"bounce\""},
		{Keys({{{"frame", 1}, {"value", 1}, {"in", {1}}}}), "key 1: \"in\" must be two finite numbers [frames, value]"},
		{Keys(json::array()), "\"keys\" must be a list of one key or more"},
		{{{"kyes", json::array()}}, "unknown member \"kyes\""},
		{{{"expression", "10 + * frame"}}, "expression \"10 + * frame\": Unexpected operator \"*\" at character 6"},
		{{{"expression", "frme * 2"}}, "Unexpected token \"frme\" at character 1"},
		{{{"expression", "1 + max(frame"}}, "expression \"1 + max(frame\": Missing parenthesis"},
		{{{"expression", "1"}, {"keys", json::array()}}, "an expression takes no keys"},
		{Keys({KeyAt(1, "A", "linear")}), "button texts hold until the next key", false},
		{{{"expression", "1"}}, "unknown member \"expression\"", false},
	};
	for (const auto& c : cases)
	{
		const std::string fault = Fault(c.Written, c.IsNumber);
		EXPECT_NE(fault.find(c.Message), std::string::npos) << c.Written.dump() << "\n  gave: " << fault;
	}
}

TEST(AnimatedValue, CommandLineTextsReadAsTheFlowFileWritesThem)
{
	const struct
	{
		std::string Text;
		bool IsNumber;
		std::optional<json> Animation;
	} cases[] = {
		{"5", true, std::nullopt},
		{"Near", false, std::nullopt},
		{"expr:10 + 0.5*frame", true, json{{"expression", "10 + 0.5*frame"}}},
		{"1:5,96:20", true, Keys({KeyAt(1, 5), KeyAt(96, 20)})},
		{"1:5:smooth,96.5:2e1", true, Keys({KeyAt(1, 5, "smooth"), KeyAt(96.5, 20)})},
		{"1:Near,48:Far", false, Keys({KeyAt(1, "Near"), KeyAt(48, "Far")})},
		{R"({"keys": [{"frame": 1, "value": 2}]})", true, Keys({KeyAt(1, 2)})},
	};
	for (const auto& c : cases)
		EXPECT_EQ(AnimationOfText(c.Text, c.IsNumber), c.Animation) << c.Text;
	EXPECT_THROW(AnimationOfText("1:5,x", true), HostError);
	EXPECT_THROW(AnimationOfText("1:five", true), HostError);
	EXPECT_THROW(AnimationOfText("{\"keys\": ", true), HostError);
}
