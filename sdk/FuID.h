#pragma once
#include <string>

/// An identifier text: class IDs, input captions and IDs, data-type and
/// control identifiers, button choices.
class FuID
{
public:
	FuID() = default;
	/// `isStatic` tells the host that `text` outlives the identifier; this host
	/// always keeps its own copy, so the flag only documents the caller's intent.
	FuID(const char* text, bool isStatic = true);

	/// The identifier's text, valid as long as the identifier lives.
	const char* GetRawString() const { return Text.c_str(); }

	bool operator==(const char* text) const;
	bool operator==(const FuID& other) const { return Text == other.Text; }
	bool operator!=(const char* text) const { return !(*this == text); }

private:
	std::string Text;
};
