#include "Declarations.h"

#include <cmath>

static TagWord WordFor(uint32_t code, double value)
{
	if (Attr::TypeOf(code) == Attr::ValueType::Double)
		return TagFromDouble(value);
	return static_cast<TagWord>(static_cast<long long>(value));
}

DeclTag::DeclTag(uint32_t code, const FuID& id) : Code(code), Word(TagFromPointer(id.GetRawString()))
{
}

DeclTag::DeclTag(uint32_t code, const char* text) : Code(code), Word(TagFromPointer(text))
{
}

DeclTag::DeclTag(uint32_t code, double value) : Code(code), Word(WordFor(code, value))
{
}

DeclTag::DeclTag(uint32_t code, int value)
	: Code(code),
	  Word(Attr::TypeOf(code) == Attr::ValueType::Double ? TagFromDouble(value)
	                                                      : static_cast<TagWord>(static_cast<long long>(value)))
{
}

std::vector<DeclTag> LabelTags()
{
	return {{Attr::Control, CLSID_InputControl_Label}, {Attr::Flag0000, 0}, {Attr::Flag0010, 1}};
}

std::vector<TagWord> TagWords(const std::vector<DeclTag>& tags)
{
	std::vector<TagWord> words;
	words.reserve(2 * tags.size() + 1);
	for (const DeclTag& tag : tags)
	{
		words.push_back(tag.Code);
		words.push_back(tag.Word);
	}
	words.push_back(0);
	return words;
}

void DeclarePage(Operator& tool)
{
	TagList none;
	tool.AddControlPageTagList("Settings", none);
}

Input* DeclareInput(Operator& tool, const char* caption, const char* id, const std::vector<DeclTag>& tags)
{
	std::vector<TagWord> words = TagWords(tags);
	TagList attrs(words.data(), false);
	return tool.AddInputTagList(FuID(caption, true), FuID(id, true), attrs);
}

Output* DeclareOutput(Operator& tool)
{
	std::vector<TagWord> words = TagWords({{Attr::DataType, CLSID_DataType_Image}, {Attr::MainIndex, 1}});
	TagList attrs(words.data(), false);
	return tool.AddOutputTagList(FuID("Output", true), FuID("Output", true), attrs);
}
