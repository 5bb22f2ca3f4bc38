#include "qz/graph/Frames.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>

#include "qz/core/Error.h"

namespace
{
HostError BadRange(const std::string& text, const std::string& why)
{
	return HostError(ErrorKind::Usage, "bad frame range \"" + text + "\": " + why);
}

// A whole decimal integer that fits an int; the text must be all of it.
bool ParseInt(const std::string& text, int& value)
{
	if (text.empty())
		return false;
	errno = 0;
	char* end = nullptr;
	const long parsed = std::strtol(text.c_str(), &end, 10);
	if (errno == ERANGE || end != text.c_str() + text.size() || parsed < INT_MIN || parsed > INT_MAX)
		return false;
	value = static_cast<int>(parsed);
	return true;
}

// More frames than any shot has: a range this long is a typing mistake, and
// listing it would exhaust memory.
constexpr size_t MaxFrames = 1000000;

// The '#' or '@' run, or the printf conversion, of a sequence path.
const std::regex& SequencePattern()
{
	static const std::regex pattern("([#@]+)|%(0?)([0-9]{0,2})d");
	return pattern;
}

// Finds the frame number's place in the file name, never in a folder name.
bool FindFrameNumber(const std::string& path, std::smatch& m)
{
	const size_t slash = path.rfind('/');
	const auto name = path.begin() + (slash == std::string::npos ? 0 : slash + 1);
	return std::regex_search(name, path.end(), m, SequencePattern());
}
}

std::vector<int> ParseFrameRange(const std::string& text)
{
	// An item is FIRST, or FIRST-LAST, or FIRST-LAST:STEP; a frame may be negative.
	static const std::regex item("(-?[0-9]+)(?:-(-?[0-9]+)(?::([0-9]+))?)?");
	std::vector<int> frames;
	std::set<int> seen;
	std::stringstream list(text);
	std::string part;
	if (text.empty())
		throw BadRange(text, "it is empty");
	while (std::getline(list, part, ','))
	{
		std::smatch m;
		if (!std::regex_match(part, m, item))
			throw BadRange(text, "\"" + part + "\" is not FRAME, FIRST-LAST or FIRST-LAST:STEP");
		int first, last, step = 1;
		if (!ParseInt(m[1], first) || (m[2].matched && !ParseInt(m[2], last)) || (m[3].matched && !ParseInt(m[3], step)))
			throw BadRange(text, "\"" + part + "\" has a number out of range");
		if (!m[2].matched)
			last = first;
		if (last < first)
			throw BadRange(text, "\"" + part + "\" runs backwards");
		if (step <= 0)
			throw BadRange(text, "\"" + part + "\" has a step that is not positive");
		if ((static_cast<long long>(last) - first) / step + frames.size() >= MaxFrames)
			throw BadRange(text, "it has more than " + std::to_string(MaxFrames) + " frames");
		for (long long frame = first; frame <= last; frame += step)
			if (seen.insert(static_cast<int>(frame)).second)
				frames.push_back(static_cast<int>(frame));
	}
	if (text.back() == ',')
		throw BadRange(text, "it ends with a comma");
	return frames;
}

std::pair<int, int> ParseChunk(const std::string& text)
{
	const size_t slash = text.find('/');
	int k, n;
	if (slash == std::string::npos || !ParseInt(text.substr(0, slash), k) || !ParseInt(text.substr(slash + 1), n))
		throw HostError(ErrorKind::Usage, "bad chunk \"" + text + "\": expected K/N, for example 3/10");
	if (n < 1 || k < 1 || k > n)
		throw HostError(ErrorKind::Usage, "bad chunk \"" + text + "\": K must lie between 1 and N");
	return {k, n};
}

std::string FrameRangeText(const std::vector<int>& frames)
{
	std::string text;
	for (size_t first = 0, last; first < frames.size(); first = last + 1)
	{
		last = first;
		while (last + 1 < frames.size() && static_cast<long long>(frames[last]) + 1 == frames[last + 1])
			++last;
		text += (text.empty() ? "" : ",") + std::to_string(frames[first]);
		if (last > first)
			text += "-" + std::to_string(frames[last]);
	}
	return text;
}

std::vector<int> ChunkOf(const std::vector<int>& frames, int k, int n)
{
	if (n < 1 || k < 1 || k > n)
		throw HostError(ErrorKind::Usage, "bad chunk " + std::to_string(k) + "/" + std::to_string(n));
	const size_t m = frames.size();
	const size_t begin = (static_cast<size_t>(k) - 1) * m / n, end = static_cast<size_t>(k) * m / n;
	return std::vector<int>(frames.begin() + begin, frames.begin() + end);
}

bool IsSequencePath(const std::string& path)
{
	std::smatch m;
	return FindFrameNumber(path, m);
}

std::string FramePath(const std::string& path, int frame)
{
	std::smatch m;
	if (!FindFrameNumber(path, m))
		return path;
	// As printf writes it: the width counts the sign, zeros go after it.
	const int width = m[1].matched ? static_cast<int>(m[1].length()) : (m[3].length() ? std::stoi(m[3]) : 0);
	const bool zeroPadded = m[1].matched || m[2].length() > 0;
	char number[32];
	std::snprintf(number, sizeof number, zeroPadded ? "%0*d" : "%*d", width, frame);
	return std::string(path.begin(), m[0].first) + number + std::string(m[0].second, path.end());
}

std::vector<int> FramesOnDisk(const std::string& path)
{
	namespace fs = std::filesystem;
	std::smatch m;
	if (!FindFrameNumber(path, m))
		return {};
	const fs::path pattern(path);
	const fs::path folder = pattern.parent_path().empty() ? fs::path(".") : pattern.parent_path();
	const std::string name = pattern.filename().string();
	const std::string prefix(name.begin(), name.begin() + (m[0].first - (path.end() - name.size())));
	const std::string suffix(m[0].second, path.end());
	std::vector<int> frames;
	std::error_code ec;
	for (fs::directory_iterator entry(folder, ec), end; !ec && entry != end; entry.increment(ec))
	{
		const std::string file = entry->path().filename().string();
		if (file.size() <= prefix.size() + suffix.size() || file.compare(0, prefix.size(), prefix) != 0 ||
		    file.compare(file.size() - suffix.size(), suffix.size(), suffix) != 0)
			continue;
		int frame;
		const std::string number = file.substr(prefix.size(), file.size() - prefix.size() - suffix.size());
		if (ParseInt(number, frame) && fs::path(FramePath(path, frame)).filename() == file)
			frames.push_back(frame);
	}
	std::sort(frames.begin(), frames.end());
	return frames;
}

std::vector<int> FramesWithInputs(const std::vector<int>& frames, const std::vector<std::string>& inputs,
                                  bool skipMissing, std::vector<std::string>& skipped)
{
	std::vector<int> present;
	for (int frame : frames)
	{
		std::string missing;
		for (const std::string& input : inputs)
		{
			std::error_code ec;
			if (IsSequencePath(input) && !std::filesystem::exists(FramePath(input, frame), ec))
			{
				missing = FramePath(input, frame);
				break;
			}
		}
		if (missing.empty())
			present.push_back(frame);
		else if (skipMissing)
			skipped.push_back(missing);
		else
			throw HostError(ErrorKind::Input, "cannot read image " + missing + ": no such file (frame " +
			                                      std::to_string(frame) + "; --skip-missing renders the others)");
	}
	return present;
}

void RefuseOverwritingInputs(const std::vector<int>& frames, const std::vector<std::string>& inputs,
                             const std::vector<std::string>& outputs)
{
	namespace fs = std::filesystem;
	for (int frame : frames)
		for (const std::string& output : outputs)
		{
			std::error_code ec;
			const fs::path written = fs::weakly_canonical(FramePath(output, frame), ec);
			for (const std::string& input : inputs)
				if (written == fs::weakly_canonical(FramePath(input, frame), ec))
					throw HostError(ErrorKind::Usage, "output " + FramePath(output, frame) +
					                               " is also an input; refusing to overwrite it");
		}
}
