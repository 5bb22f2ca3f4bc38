#pragma once
// A tool declares its page, inputs and output from one table at the top of
// its source file; `DeclareControls` turns the table into the host calls.
#include <optional>
#include <vector>

#include "Operator.h"

/// One (attribute, value) pair of a declaration. The value is stored the way
/// the attribute's code says (a number given for a double attribute is stored
/// as a double, and the other way round).
struct DeclTag
{
	DeclTag(uint32_t code, const FuID& id);
	DeclTag(uint32_t code, const char* text);
	DeclTag(uint32_t code, double value);
	DeclTag(uint32_t code, int value);

	uint32_t Code;
	TagWord Word;
};

/// One input of a tool: the member that keeps it, caption, ID and attributes
/// in declaration order, and for a number that counts the work per pixel its
/// `Input::SetWorkLimit`. The tables write attributes as: `DataType`,
/// `Control`, range, the other attributes, and last `Default` or `DefaultId`.
template <class Tool>
struct InputDecl
{
	Input* Tool::*Member;
	const char* Caption;
	const char* Id;
	std::vector<DeclTag> Tags;
	std::optional<int> WorkLimit = std::nullopt;
};

/// The attributes of a label: a caption on the page, never read.
std::vector<DeclTag> LabelTags();

/// Builds the zero-ended word array of a declaration's attribute list.
std::vector<TagWord> TagWords(const std::vector<DeclTag>& tags);

void DeclarePage(Operator& tool);
Input* DeclareInput(Operator& tool, const char* caption, const char* id, const std::vector<DeclTag>& tags);
Output* DeclareOutput(Operator& tool);

/// Opens the "Settings" page, declares every input of `inputs` in order into
/// its member, and last the image output "Output" into `output`.
template <class Tool>
void DeclareControls(Tool& tool, const std::vector<InputDecl<Tool>>& inputs, Output* Tool::*output)
{
	DeclarePage(tool);
	for (const InputDecl<Tool>& decl : inputs)
	{
		Input* input = DeclareInput(tool, decl.Caption, decl.Id, decl.Tags);
		if (decl.WorkLimit)
			input->SetWorkLimit(*decl.WorkLimit);
		tool.*decl.Member = input;
	}
	tool.*output = DeclareOutput(tool);
}
