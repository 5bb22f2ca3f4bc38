#include "TagList.h"

namespace Attr
{
ValueType TypeOf(uint32_t code)
{
	switch (code >> 28)
	{
	case 0x1: return ValueType::Int;
	case 0x2: return ValueType::Double;
	case 0x3: return ValueType::String;
	case 0x6: return ValueType::Pointer;
	case 0x8: return ValueType::Id;
	default: return ValueType::Unknown;
	}
}

const char* NameOf(uint32_t code)
{
	switch (code)
	{
	case Factory: return "Factory";
	case RegInitFn: return "RegInitFn";
	case RegCleanupFn: return "RegCleanupFn";
	case ScriptInfo: return "ScriptInfo";
	case BaseClass: return "BaseClass";
	case RegKind: return "RegKind";
	case RegFlag03: return "RegFlag03";
	case RegFlag17: return "RegFlag17";
	case RegFlag19: return "RegFlag19";
	case RegName: return "RegName";
	case Category: return "Category";
	case ShortName: return "ShortName";
	case LongName: return "LongName";
	case BuildStamp: return "BuildStamp";
	case IconPath: return "IconPath";
	case DataType: return "DataType";
	case Control: return "Control";
	case DefaultId: return "DefaultId";
	case RangeLow: return "RangeLow";
	case RangeHigh: return "RangeHigh";
	case RangeHighAlt: return "RangeHighAlt";
	case Default: return "Default";
	case Flag0000: return "Flag0000";
	case Required: return "Required";
	case ControlGroup: return "ControlGroup";
	case ControlChannel: return "ControlChannel";
	case Flag000A: return "Flag000A";
	case IntegerOnly: return "IntegerOnly";
	case Flag0010: return "Flag0010";
	case MainIndex: return "MainIndex";
	case ButtonFlag: return "ButtonFlag";
	case GroupName: return "GroupName";
	case ButtonText: return "ButtonText";
	case ModelImage: return "ModelImage";
	default: return nullptr;
	}
}
}

static const TagWord EmptyList[] = {0};

TagList::TagList() : Words(EmptyList)
{
}

TagList::TagList(TagWord* words, bool copy) : Words(words ? words : EmptyList)
{
	if (copy && words)
	{
		size_t n = 0;
		while (words[n] != 0)
			n += 2;
		Owned.assign(words, words + n + 1);
		Words = Owned.data();
	}
}

std::vector<TagList::Entry> TagList::Entries() const
{
	std::vector<Entry> entries;
	for (const TagWord* w = Words; *w != 0; w += 2)
		entries.push_back({static_cast<uint32_t>(w[0]), w[1]});
	return entries;
}

bool TagList::Find(uint32_t code, TagWord& value) const
{
	for (const TagWord* w = Words; *w != 0; w += 2)
		if (w[0] == code)
		{
			value = w[1];
			return true;
		}
	return false;
}

TagStore::TagStore(const TagList& tags)
{
	for (const TagList::Entry& e : tags.Entries())
	{
		Entry item{e.Code, e.Value, {}};
		Attr::ValueType type = Attr::TypeOf(e.Code);
		if (type == Attr::ValueType::String || type == Attr::ValueType::Id)
		{
			const char* text = TagToPointer<const char*>(e.Value);
			item.Text = text ? text : "";
		}
		Items.push_back(std::move(item));
	}
}

const TagStore::Entry* TagStore::Find(uint32_t code) const
{
	for (const Entry& e : Items)
		if (e.Code == code)
			return &e;
	return nullptr;
}

long long TagStore::GetInt(uint32_t code, long long fallback) const
{
	const Entry* e = Find(code);
	return e ? static_cast<long long>(e->Value) : fallback;
}

double TagStore::GetDouble(uint32_t code, double fallback) const
{
	const Entry* e = Find(code);
	return e ? TagToDouble(e->Value) : fallback;
}

std::string TagStore::GetText(uint32_t code, const std::string& fallback) const
{
	const Entry* e = Find(code);
	return e ? e->Text : fallback;
}

std::vector<std::string> TagStore::GetTexts(uint32_t code) const
{
	std::vector<std::string> texts;
	for (const Entry& e : Items)
		if (e.Code == code)
			texts.push_back(e.Text);
	return texts;
}
