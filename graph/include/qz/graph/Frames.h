#pragma once
// Frame ranges, farm chunks and frame-sequence paths.
#include <string>
#include <vector>

/// How a command renders its frames (the options `qz run` and `qz flow` share).
struct FrameOptions
{
	std::string Range;  // --frames, or "" for one render at time 0
	std::string Chunk;  // --chunk K/N, or ""
	bool SkipMissing = false;
	bool SkipExisting = false;  // frames whose outputs are all present and readable are done
	bool Json = false;
	bool Quiet = false;
	int Threads = 0;  // 0: one per core
	std::string DataType;     // -d: the written type of outputs that set none
	std::string Compression;  // --compression: of outputs that set none
};

/// The frames of a range text: "A-B", "A-B:STEP", single frames "N", and
/// comma-separated lists of those ("1-10,20,30-40:5"), in the order written,
/// each frame once. Negative frames are allowed ("-5--1"). Throws `HostError`
/// (usage) naming the text when it is malformed, a range runs backwards, a
/// step is not positive, or it lists a million frames or more.
std::vector<int> ParseFrameRange(const std::string& text);

/// `frames` as a range text that `ParseFrameRange` reads back: runs of
/// consecutive frames as "A-B", in the order given ({1, 2, 3, 7} -> "1-3,7").
std::string FrameRangeText(const std::vector<int>& frames);

/// The K-th (1-based) of N contiguous slices of `frames`: slice K holds
/// frames[floor((K-1)M/N) .. floor(KM/N)) of M frames, so the N slices cover
/// every frame exactly once. Throws `HostError` (usage) unless 1 <= K <= N.
std::vector<int> ChunkOf(const std::vector<int>& frames, int k, int n);

/// Parses "K/N" as given to --chunk. Throws `HostError` (usage) when malformed.
std::pair<int, int> ParseChunk(const std::string& text);

/// True when the file name of `path` names a frame sequence: a run of '#' or
/// '@' (the count is the padding) or a printf-style "%d" / "%0Nd".
bool IsSequencePath(const std::string& path);

/// The file of `frame` in the sequence `path` ("shot.####.exr", 7 ->
/// "shot.0007.exr"; "shot.%03d.exr", 7 -> "shot.007.exr"), as printf writes
/// it: the padding counts a minus sign ("shot.####.exr", -3 -> "shot.-003.exr").
/// A path that names no sequence is returned as is.
std::string FramePath(const std::string& path, int frame);

/// The frames of the sequence `path` whose files exist, in increasing order.
std::vector<int> FramesOnDisk(const std::string& path);

/// The frames of `frames` whose input files (the sequences among `inputs`)
/// all exist. A frame with a missing file is an error naming the file
/// (`HostError`, render failed) unless `skipMissing`, which instead lists
/// the first missing file of each such frame in `skipped`.
std::vector<int> FramesWithInputs(const std::vector<int>& frames, const std::vector<std::string>& inputs,
                                  bool skipMissing, std::vector<std::string>& skipped);

/// Throws `HostError` (usage) when, at some frame, an output file of
/// `outputs` is also an input file of `inputs`.
void RefuseOverwritingInputs(const std::vector<int>& frames, const std::vector<std::string>& inputs,
                             const std::vector<std::string>& outputs);
