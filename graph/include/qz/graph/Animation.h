#pragma once
// Values that change over a shot: a number input or a button row held still,
// keyed, or (numbers only) an expression of the frame, as a flow file writes
// them:
//
//   "PlaneOfFocus": {"keys": [{"frame": 1, "value": 5.0},
//                             {"frame": 48, "value": 12.0, "interpolation": "smooth"},
//                             {"frame": 96, "value": 20.0}],
//                    "before": "constant", "after": "linear"},
//   "Zmax": {"expression": "10 + 0.5 * frame"}
//
// A key's interpolation shapes the segment that starts at it. Frames are the
// host's frames; an expression sees `frame`, `time` (frame / fps) and `fps`.
#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

/// What an expression's `time` counts in when nothing says otherwise.
constexpr double DefaultFps = 24.0;

enum class Interpolation
{
	Constant,  // holds the key's value until the next key
	Linear,
	Smooth,  // a cubic whose slopes never let it overshoot between two keys
	Cubic,   // Catmull-Rom: a cubic through the neighbouring keys, may overshoot
	Bezier,  // a cubic Bezier curve through the key's handles
};

enum class Extrapolation
{
	Constant,  // the end key's value
	Linear,    // the end segment's slope, continued
	Cycle,     // the keyed range, repeated
};

struct Key
{
	double Frame = 0.0;
	double Number = 0.0;  // of a number input
	std::string Text;     // of a button row
	Interpolation Next = Interpolation::Linear;
	// A Bezier segment's handles, [frames, value] from the key: `Out` shapes
	// the segment after the key, `In` the one before it.
	std::optional<std::array<double, 2>> In, Out;
};

/// The animated value a command line's text gives, as a flow file writes
/// it, or nothing for a still value:
///   "expr:10 + 0.5*frame"            an expression
///   "1:5,48:12:smooth,96:20"         keys FRAME:VALUE[:INTERPOLATION]
///   "{...}"                          the flow file's JSON
/// Keys of a button row hold button texts ("1:Near,48:Far").
std::optional<nlohmann::json> AnimationOfText(const std::string& text, bool isNumber);

class ExpressionOfFrame;

/// One input's value over time. Reading one checks it whole: every fault is
/// a `HostError` (usage) saying which key or where in the expression.
class AnimatedValue
{
public:
	/// `written` as a flow file holds it, for a number input (`isNumber`) or
	/// a button row; `fps` is what an expression's `time` counts in.
	static AnimatedValue Read(const nlohmann::json& written, bool isNumber, double fps);
	/// A value held still.
	static AnimatedValue Still(const nlohmann::json& value);

	bool IsStill() const { return Keys.empty() && !Expression; }
	bool IsNumber() const { return Number; }
	/// The value at `frame`: at a key's frame exactly its value. An
	/// expression may give inf or NaN.
	double NumberAt(double frame) const;
	const std::string& TextAt(double frame) const;
	/// The value at `frame` as a flow file writes a still one.
	nlohmann::json At(double frame) const;
	/// The value as it was written.
	const nlohmann::json& Written() const { return Source; }
	/// The frames of the keys, in order (none for still values and expressions).
	std::vector<double> KeyFrames() const;

	/// The handles key `key` shapes its Bezier segments with, as the curve
	/// takes them ([frames, value] from the key): an absent one a third of
	/// the way along the smooth slope, each within its segment's frames.
	/// Empty where no Bezier segment meets the key.
	struct Handles
	{
		std::optional<std::array<double, 2>> In, Out;
	};
	Handles HandlesOf(size_t key) const;

private:
	double Wrapped(double frame) const;
	size_t SegmentAt(double frame) const;
	double Segment(size_t i, double frame) const;
	double SegmentSlope(size_t i, bool arriving) const;
	std::array<double, 4> BezierPoints(size_t i) const;

	nlohmann::json Source;
	bool Number = true;
	std::vector<Key> Keys;
	std::vector<double> SmoothSlopes, CubicSlopes;  // per key
	Extrapolation Before = Extrapolation::Constant, After = Extrapolation::Constant;
	std::shared_ptr<const ExpressionOfFrame> Expression;
};
