#include "qz/graph/Animation.h"

#include <muParser.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <mutex>

#include "qz/core/Error.h"
#include "qz/core/ToolSession.h"

using nlohmann::json;

namespace
{
HostError Fault(const std::string& what)
{
	return HostError(ErrorKind::Usage, what);
}

std::string Quoted(const json& value)
{
	return Excerpt(value.dump());
}

const std::pair<const char*, Interpolation> Interpolations[] = {
	{"constant", Interpolation::Constant}, {"linear", Interpolation::Linear}, {"smooth", Interpolation::Smooth},
	{"cubic", Interpolation::Cubic},       {"bezier", Interpolation::Bezier},
};
const std::pair<const char*, Extrapolation> Extrapolations[] = {
	{"constant", Extrapolation::Constant}, {"linear", Extrapolation::Linear}, {"cycle", Extrapolation::Cycle}};

template <class Mode, size_t N>
Mode ModeNamed(const json& name, const std::pair<const char*, Mode> (&modes)[N], const std::string& what)
{
	std::string names;
	for (const auto& [text, mode] : modes)
	{
		if (name.is_string() && name.get<std::string>() == text)
			return mode;
		names += (names.empty() ? "" : ", ") + std::string(text);
	}
	throw Fault(what + " must be one of " + names + ", not " + Quoted(name));
}

double FiniteNumber(const json& value, const std::string& what)
{
	if (!value.is_number() || !std::isfinite(value.get<double>()))
		throw Fault(what + " must be a finite number, not " + Quoted(value));
	return value.get<double>();
}

std::array<double, 2> Handle(const json& value, const std::string& what)
{
	if (!value.is_array() || value.size() != 2)
		throw Fault(what + " must be two finite numbers [frames, value], not " + Quoted(value));
	return {FiniteNumber(value[0], what + " frames"), FiniteNumber(value[1], what + " value")};
}

// All of `text` read as a number.
bool ParseWholeNumber(const std::string& text, double& value)
{
	char* end = nullptr;
	value = std::strtod(text.c_str(), &end);
	return !text.empty() && end == text.c_str() + text.size() && std::isfinite(value);
}

/// Hermite cubic over a segment of `width` frames at `t` (0 .. 1) from value
/// `a` with slope `sa` to value `b` with slope `sb` (per frame).
double Hermite(double t, double width, double a, double sa, double b, double sb)
{
	const double t2 = t * t, t3 = t2 * t;
	return (2 * t3 - 3 * t2 + 1) * a + (t3 - 2 * t2 + t) * width * sa + (-2 * t3 + 3 * t2) * b +
	       (t3 - t2) * width * sb;
}

double CubicBezier(const std::array<double, 4>& p, double t)
{
	const double u = 1 - t;
	return u * u * u * p[0] + 3 * u * u * t * p[1] + 3 * u * t * t * p[2] + t * t * t * p[3];
}
}

std::optional<json> AnimationOfText(const std::string& text, bool isNumber)
{
	if (text.rfind("expr:", 0) == 0)
		return json{{"expression", text.substr(5)}};
	if (!text.empty() && text.front() == '{')
	{
		const json value = json::parse(text, nullptr, false);
		if (value.is_discarded())
			throw Fault("\"" + Excerpt(text) + "\" is no JSON value");
		return value;
	}
	// Keys: every item FRAME:VALUE[:INTERPOLATION], FRAME a number.
	json keys = json::array();
	size_t start = 0;
	while (start <= text.size())
	{
		size_t end = text.find(',', start);
		if (end == std::string::npos)
			end = text.size();
		const std::string item = text.substr(start, end - start);
		const size_t colon = item.find(':');
		double frame = 0.0;
		if (colon == std::string::npos || !ParseWholeNumber(item.substr(0, colon), frame))
		{
			if (keys.empty())
				return std::nullopt;  // a still value
			throw Fault("key " + std::to_string(keys.size() + 1) + " \"" + Excerpt(item) +
			            "\" is not FRAME:VALUE[:INTERPOLATION]");
		}
		std::string value = item.substr(colon + 1), interpolation;
		if (const size_t second = value.find(':'); second != std::string::npos)
		{
			interpolation = value.substr(second + 1);
			value.resize(second);
		}
		json key = {{"frame", frame}};
		double number = 0.0;
		if (!isNumber)
			key["value"] = value;
		else if (ParseWholeNumber(value, number))
			key["value"] = number;
		else
			throw Fault("key " + std::to_string(keys.size() + 1) + ": \"" + Excerpt(value) + "\" is not a number");
		if (!interpolation.empty())
			key["interpolation"] = interpolation;
		keys.push_back(std::move(key));
		start = end + 1;
	}
	return json{{"keys", keys}};
}

/// A muParser formula of `frame`, `time` and `fps`. The parser evaluates
/// through variables it holds pointers to, so evaluations take turns.
class ExpressionOfFrame
{
public:
	ExpressionOfFrame(const std::string& text, double fps) : Fps(fps)
	{
		Parser.DefineVar("frame", &Frame);
		Parser.DefineVar("time", &Time);
		Parser.DefineVar("fps", &Fps);
		try
		{
			Parser.SetExpr(text);
			Parser.Eval();  // parses, so that a fault shows now
		}
		catch (const mu::Parser::exception_type& e)
		{
			// The library counts characters from 0; people count from 1.
			std::string message = e.GetMsg();
			const size_t at = message.find(" found at position");
			if (at != std::string::npos)
				message = message.substr(0, at) + " at character " + std::to_string(e.GetPos() + 1);
			throw Fault("expression \"" + Excerpt(text) + "\": " + message);
		}
	}

	double At(double frame) const
	{
		std::lock_guard<std::mutex> lock(Turn);
		Frame = frame;
		Time = frame / Fps;
		return Parser.Eval();
	}

private:
	mutable std::mutex Turn;
	mutable double Frame = 0.0, Time = 0.0;
	double Fps;
	mu::Parser Parser;
};

AnimatedValue AnimatedValue::Still(const json& value)
{
	AnimatedValue still;
	still.Source = value;
	still.Number = value.is_number();
	return still;
}

AnimatedValue AnimatedValue::Read(const json& written, bool isNumber, double fps)
{
	const char* const kind = isNumber ? "a number" : "a button text";
	if (isNumber ? written.is_number() : written.is_string())
		return Still(written);
	if (!written.is_object())
		throw Fault(std::string("takes ") + kind + ", not " + Quoted(written));
	AnimatedValue value;
	value.Source = written;
	value.Number = isNumber;
	for (const auto& [member, _] : written.items())
		if (member != "keys" && member != "before" && member != "after" && (member != "expression" || !isNumber))
			throw Fault("unknown member \"" + Excerpt(member) + "\" (keys, before, after" +
			            (isNumber ? ", expression)" : ")"));

	if (written.contains("expression"))
	{
		if (written.size() != 1)
			throw Fault("an expression takes no keys, \"before\" or \"after\"");
		if (!written["expression"].is_string())
			throw Fault("\"expression\" must be a text, not " + Quoted(written["expression"]));
		value.Expression = std::make_shared<const ExpressionOfFrame>(written["expression"].get<std::string>(), fps);
		return value;
	}

	if (written.contains("before"))
		value.Before = ModeNamed(written["before"], Extrapolations, "\"before\"");
	if (written.contains("after"))
		value.After = ModeNamed(written["after"], Extrapolations, "\"after\"");
	if (!isNumber && (value.Before == Extrapolation::Linear || value.After == Extrapolation::Linear))
		throw Fault("button texts hold or cycle: \"before\" and \"after\" cannot be \"linear\"");
	const json& keys = written.value("keys", json());
	if (!keys.is_array() || keys.empty())
		throw Fault("\"keys\" must be a list of one key or more, not " + Quoted(keys));
	for (size_t i = 0; i < keys.size(); ++i)
	{
		const std::string where = "key " + std::to_string(i + 1);
		const json& written = keys[i];
		if (!written.is_object())
			throw Fault(where + " must be an object with \"frame\" and \"value\", not " + Quoted(written));
		for (const auto& [member, _] : written.items())
			if (member != "frame" && member != "value" && member != "interpolation" && member != "in" && member != "out")
				throw Fault(where + ": unknown member \"" + Excerpt(member) + "\" (frame, value, interpolation, in, out)");
		if (!written.contains("frame") || !written.contains("value"))
			throw Fault(where + " needs a \"frame\" and a \"value\"");
		Key key;
		key.Frame = FiniteNumber(written["frame"], where + ": \"frame\"");
		if (isNumber)
			key.Number = FiniteNumber(written["value"], where + ": \"value\"");
		else if (written["value"].is_string())
			key.Text = written["value"].get<std::string>();
		else
			throw Fault(where + ": \"value\" must be a button text, not " + Quoted(written["value"]));
		key.Next = isNumber ? Interpolation::Linear : Interpolation::Constant;
		if (written.contains("interpolation"))
			key.Next = ModeNamed(written["interpolation"], Interpolations, where + ": \"interpolation\"");
		if (!isNumber && key.Next != Interpolation::Constant)
			throw Fault(where + ": button texts hold until the next key: \"interpolation\" can only be \"constant\"");
		if (written.contains("in"))
			key.In = Handle(written["in"], where + ": \"in\"");
		if (written.contains("out"))
			key.Out = Handle(written["out"], where + ": \"out\"");
		if (!value.Keys.empty() && !(key.Frame > value.Keys.back().Frame))
			throw Fault(key.Frame == value.Keys.back().Frame
			                ? "keys " + std::to_string(i) + " and " + std::to_string(i + 1) + " are both at frame " +
			                      FormatNumber(key.Frame)
			                : where + " (frame " + FormatNumber(key.Frame) + ") comes before key " +
			                      std::to_string(i) + " (frame " + FormatNumber(value.Keys.back().Frame) +
			                      "): keys go in frame order");
		value.Keys.push_back(std::move(key));
	}

	// Slopes at each key, per frame. Smooth: zero where the value turns, else
	// a weighted harmonic mean of the two neighbouring secants, which keeps
	// the cubic between its keys; Catmull-Rom: the secant over both
	// neighbours. An end key takes its one secant.
	const std::vector<Key>& k = value.Keys;
	const size_t n = k.size();
	value.SmoothSlopes.assign(n, 0.0);
	value.CubicSlopes.assign(n, 0.0);
	const auto secant = [&](size_t i) { return (k[i + 1].Number - k[i].Number) / (k[i + 1].Frame - k[i].Frame); };
	for (size_t i = 0; n > 1 && i < n; ++i)
	{
		if (i == 0 || i == n - 1)
		{
			value.SmoothSlopes[i] = value.CubicSlopes[i] = secant(i == 0 ? 0 : n - 2);
			continue;
		}
		const double before = secant(i - 1), after = secant(i);
		const double widthBefore = k[i].Frame - k[i - 1].Frame, widthAfter = k[i + 1].Frame - k[i].Frame;
		if (before * after > 0)
		{
			const double w1 = 2 * widthAfter + widthBefore, w2 = widthAfter + 2 * widthBefore;
			value.SmoothSlopes[i] = (w1 + w2) / (w1 / before + w2 / after);
		}
		value.CubicSlopes[i] = (k[i + 1].Number - k[i - 1].Number) / (k[i + 1].Frame - k[i - 1].Frame);
	}
	return value;
}

std::vector<double> AnimatedValue::KeyFrames() const
{
	std::vector<double> frames;
	for (const Key& key : Keys)
		frames.push_back(key.Frame);
	return frames;
}

AnimatedValue::Handles AnimatedValue::HandlesOf(size_t key) const
{
	Handles handles;
	if (key + 1 < Keys.size() && Keys[key].Next == Interpolation::Bezier)
	{
		const std::array<double, 4> p = BezierPoints(key);
		handles.Out = {p[0] - Keys[key].Frame, p[2] - Keys[key].Number};
	}
	if (key > 0 && key < Keys.size() && Keys[key - 1].Next == Interpolation::Bezier)
	{
		const std::array<double, 4> p = BezierPoints(key - 1);
		handles.In = {p[1] - Keys[key].Frame, p[3] - Keys[key].Number};
	}
	return handles;
}

// A frame outside the keys brought into them by repeating the keyed range.
double AnimatedValue::Wrapped(double frame) const
{
	const double first = Keys.front().Frame, period = Keys.back().Frame - first;
	if (!(period > 0))
		return first;
	double offset = std::fmod(frame - first, period);
	if (offset < 0)
		offset += period;
	return first + offset;
}

// The key that starts the segment holding `frame` (within the keys).
size_t AnimatedValue::SegmentAt(double frame) const
{
	const auto after = std::upper_bound(Keys.begin(), Keys.end(), frame,
	                                    [](double f, const Key& key) { return f < key.Frame; });
	return static_cast<size_t>(std::max<std::ptrdiff_t>(after - Keys.begin() - 1, 0));
}

// Control values of Bezier segment `i` in frames (0 .. 3) and values (... ):
// absent handles lie a third of the way along the smooth slope, which makes
// the curve the smooth cubic.
std::array<double, 4> AnimatedValue::BezierPoints(size_t i) const
{
	const Key &a = Keys[i], &b = Keys[i + 1];
	const double width = b.Frame - a.Frame;
	std::array<double, 2> out = a.Out ? *a.Out : std::array<double, 2>{width / 3, SmoothSlopes[i] * width / 3};
	std::array<double, 2> in = b.In ? *b.In : std::array<double, 2>{-width / 3, -SmoothSlopes[i + 1] * width / 3};
	// Handles stay within the segment's frames, so that each frame has one value.
	out[0] = std::clamp(out[0], 0.0, width);
	in[0] = std::clamp(in[0], -width, 0.0);
	return {a.Frame + out[0], b.Frame + in[0], a.Number + out[1], b.Number + in[1]};
}

double AnimatedValue::Segment(size_t i, double frame) const
{
	const Key& a = Keys[i];
	if (frame == a.Frame || i + 1 == Keys.size())
		return a.Number;
	const Key& b = Keys[i + 1];
	const double width = b.Frame - a.Frame, t = (frame - a.Frame) / width;
	switch (a.Next)
	{
	case Interpolation::Constant: return a.Number;
	case Interpolation::Linear: return a.Number + (b.Number - a.Number) * t;
	case Interpolation::Smooth: return Hermite(t, width, a.Number, SmoothSlopes[i], b.Number, SmoothSlopes[i + 1]);
	case Interpolation::Cubic: return Hermite(t, width, a.Number, CubicSlopes[i], b.Number, CubicSlopes[i + 1]);
	case Interpolation::Bezier: break;
	}
	// The curve's frame rises with its parameter: find the parameter of
	// `frame` by Newton's steps, kept within a bisected bracket.
	const std::array<double, 4> p = BezierPoints(i);
	const std::array<double, 4> frames = {a.Frame, p[0], p[1], b.Frame}, values = {a.Number, p[2], p[3], b.Number};
	double low = 0.0, high = 1.0, u = t;
	for (int step = 0; step < 100; ++step)
	{
		const double error = CubicBezier(frames, u) - frame;
		if (std::abs(error) <= 1e-12 * width)
			break;
		(error < 0 ? low : high) = u;
		const double v = 1 - u;
		const double slope = 3 * (v * v * (frames[1] - frames[0]) + 2 * v * u * (frames[2] - frames[1]) +
		                          u * u * (frames[3] - frames[2]));
		const double newton = slope > 0 ? u - error / slope : -1.0;
		u = newton > low && newton < high ? newton : (low + high) / 2;
	}
	return CubicBezier(values, u);
}

// The slope per frame of segment `i` where it leaves its first key, or
// where it reaches its second (`arriving`).
double AnimatedValue::SegmentSlope(size_t i, bool arriving) const
{
	if (i + 1 >= Keys.size())
		return 0.0;
	const Key &a = Keys[i], &b = Keys[i + 1];
	const size_t key = arriving ? i + 1 : i;
	switch (a.Next)
	{
	case Interpolation::Constant: return 0.0;
	case Interpolation::Linear: return (b.Number - a.Number) / (b.Frame - a.Frame);
	case Interpolation::Smooth: return SmoothSlopes[key];
	case Interpolation::Cubic: return CubicSlopes[key];
	case Interpolation::Bezier: break;
	}
	const std::array<double, 4> p = BezierPoints(i);
	if (arriving)
		return p[1] < b.Frame ? (b.Number - p[3]) / (b.Frame - p[1]) : SmoothSlopes[key];
	return p[0] > a.Frame ? (p[2] - a.Number) / (p[0] - a.Frame) : SmoothSlopes[key];
}

double AnimatedValue::NumberAt(double frame) const
{
	if (Expression)
		return Expression->At(frame);
	if (Keys.empty())
		return Source.get<double>();
	const Key &first = Keys.front(), &last = Keys.back();
	if (frame < first.Frame)
		switch (Before)
		{
		case Extrapolation::Constant: return first.Number;
		case Extrapolation::Linear: return first.Number + (frame - first.Frame) * SegmentSlope(0, false);
		case Extrapolation::Cycle: frame = Wrapped(frame); break;
		}
	else if (frame > last.Frame)
		switch (After)
		{
		case Extrapolation::Constant: return last.Number;
		case Extrapolation::Linear:
			return last.Number + (frame - last.Frame) * SegmentSlope(Keys.size() > 1 ? Keys.size() - 2 : 0, true);
		case Extrapolation::Cycle: frame = Wrapped(frame); break;
		}
	return Segment(SegmentAt(frame), frame);
}

const std::string& AnimatedValue::TextAt(double frame) const
{
	if (Keys.empty())
		return Source.get_ref<const std::string&>();
	if ((frame < Keys.front().Frame && Before == Extrapolation::Cycle) ||
	    (frame > Keys.back().Frame && After == Extrapolation::Cycle))
		frame = Wrapped(frame);
	return Keys[SegmentAt(frame)].Text;
}

json AnimatedValue::At(double frame) const
{
	return Number ? json(NumberAt(frame)) : json(TextAt(frame));
}
