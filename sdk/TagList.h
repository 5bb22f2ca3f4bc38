#pragma once
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

/// One 64-bit word of an attribute list: a code, or the value that follows it.
using TagWord = unsigned long long;

/// Attribute codes. The top nibble of a code tells how its value is stored:
/// 1 int or boolean, 2 double (IEEE bits), 3 string pointer, 6 object or
/// function pointer, 8 identifier text pointer.
namespace Attr
{
	// Registration records
	constexpr uint32_t Factory = 0x60000000;
	constexpr uint32_t RegInitFn = 0x60000001;
	constexpr uint32_t RegCleanupFn = 0x60000002;
	constexpr uint32_t ScriptInfo = 0x60000005;
	constexpr uint32_t BaseClass = 0x60000010;
	constexpr uint32_t RegKind = 0x10000000;
	constexpr uint32_t RegFlag03 = 0x10000003;
	constexpr uint32_t RegFlag17 = 0x10000017;
	constexpr uint32_t RegFlag19 = 0x10000019;
	constexpr uint32_t RegName = 0x30000002;
	constexpr uint32_t Category = 0x30000003;
	constexpr uint32_t ShortName = 0x30000004;
	constexpr uint32_t LongName = 0x30000005;
	constexpr uint32_t BuildStamp = 0x30000008;
	constexpr uint32_t IconPath = 0x3000000f;

	// Input and output declarations
	constexpr uint32_t DataType = 0x88020000;
	constexpr uint32_t Control = 0x80030000;
	constexpr uint32_t DefaultId = 0x80030003;
	constexpr uint32_t RangeLow = 0x20030000;
	constexpr uint32_t RangeHigh = 0x20030001;
	constexpr uint32_t RangeHighAlt = 0x20030003;
	constexpr uint32_t Default = 0x20030004;
	constexpr uint32_t Flag0000 = 0x10030000;
	constexpr uint32_t Required = 0x10030002;
	constexpr uint32_t ControlGroup = 0x10030006;
	constexpr uint32_t ControlChannel = 0x10030007;
	constexpr uint32_t Flag000A = 0x1003000a;
	constexpr uint32_t IntegerOnly = 0x1003000c;
	constexpr uint32_t Flag0010 = 0x10030010;
	constexpr uint32_t MainIndex = 0x10020001;
	constexpr uint32_t ButtonFlag = 0x1005000a;
	constexpr uint32_t GroupName = 0x30040000;
	constexpr uint32_t ButtonText = 0x38040000;

	// Image creation
	constexpr uint32_t ModelImage = 0x60020000;

	/// How the value of an attribute is stored in its word.
	enum class ValueType { Int, Double, String, Pointer, Id, Unknown };
	ValueType TypeOf(uint32_t code);

	/// The attribute's name, or null for a code this host does not know.
	const char* NameOf(uint32_t code);
}

inline TagWord TagFromDouble(double v)
{
	TagWord w;
	std::memcpy(&w, &v, sizeof w);
	return w;
}

inline double TagToDouble(TagWord w)
{
	double v;
	std::memcpy(&v, &w, sizeof v);
	return v;
}

inline TagWord TagFromPointer(const void* p) { return reinterpret_cast<uintptr_t>(p); }

template <class T>
inline T TagToPointer(TagWord w)
{
	return reinterpret_cast<T>(static_cast<uintptr_t>(w));
}

/// An attribute list: code, value, code, value, ..., 0, over an array of words.
class TagList
{
public:
	/// The empty list.
	TagList();
	/// Wraps `words` (ended by code 0). With `copy` false the caller's array
	/// must outlive the list; with true the list keeps its own copy.
	TagList(TagWord* words, bool copy);

	struct Entry
	{
		uint32_t Code;
		TagWord Value;
	};

	/// The pairs in order, without the end code.
	std::vector<Entry> Entries() const;

	/// The first value of `code`; false when the list has none.
	bool Find(uint32_t code, TagWord& value) const;

private:
	const TagWord* Words;
	std::vector<TagWord> Owned;
};

/// A host-side copy of an attribute list that outlives the caller's words:
/// strings and identifier texts are copied.
class TagStore
{
public:
	TagStore() = default;
	explicit TagStore(const TagList& tags);

	struct Entry
	{
		uint32_t Code;
		TagWord Value;     // ints, doubles and pointers
		std::string Text;  // strings and identifiers
	};

	const std::vector<Entry>& Entries() const { return Items; }
	const Entry* Find(uint32_t code) const;
	bool Has(uint32_t code) const { return Find(code) != nullptr; }

	long long GetInt(uint32_t code, long long fallback = 0) const;
	double GetDouble(uint32_t code, double fallback = 0.0) const;
	std::string GetText(uint32_t code, const std::string& fallback = "") const;
	template <class T>
	T GetPointer(uint32_t code) const
	{
		const Entry* e = Find(code);
		return e ? TagToPointer<T>(e->Value) : nullptr;
	}
	/// Every text of a repeated code (button texts, in button order).
	std::vector<std::string> GetTexts(uint32_t code) const;

private:
	std::vector<Entry> Items;
};
