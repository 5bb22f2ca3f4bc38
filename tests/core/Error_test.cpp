#include <gtest/gtest.h>

#include "qz/core/Error.h"

TEST(Escaped, ControlCharactersAndBrokenUtf8BecomeByteEscapes)
{
	const struct
	{
		std::string Text, Shown;
	} cases[] = {
		{"depth.exr", "depth.exr"},
		{"a\x1e" "b", "a\\x1eb"},
		{"\x1b[31mred", "\\x1b[31mred"},        // a terminal escape sequence
		{"tab\there\n", "tab\\x09here\\x0a"},
		{"\x7f", "\\x7f"},
		{"\xc2\x9b" "2J", "\\xc2\\x9b2J"},       // C1 CSI, valid UTF-8 but a control
		{"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
		{"\xff\xfe", "\\xff\\xfe"},
		{"cut \xc3", "cut \\xc3"},               // a sequence cut off at the end
		{"\xc0\xaf", "\\xc0\\xaf"},              // overlong '/'
		{"\xed\xa0\x80", "\\xed\\xa0\\x80"},     // a UTF-16 surrogate
		{"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},  // beyond U+10FFFF
		{"\xe2\x82" "A", "\\xe2\\x82" "A"},      // a lead whose sequence breaks off
		{std::string("nul\0byte", 8), "nul\\x00byte"},
	};
	for (const auto& c : cases)
		EXPECT_EQ(Escaped(c.Text), c.Shown) << c.Shown;
}
