// The tools' registration records as the host sees them.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <set>

#include "ToolHarness.h"
#include "Operator.h"

namespace
{
struct ExpectedRecord
{
	const char* ClassName;
	const char* ClassId;
	const char* RegName;
	const char* Category;
	const char* ShortName;
	const char* LongName;
	const char* Icon;
	std::optional<int> Flag03, Flag17;
};

const char* const Brightness = ":/ToolIcons/IDB_TILE_BRIGHTNESS";
const char* const Dissolve = ":/ToolIcons/IDB_TILE_DISSOLVE";
const char* const Blur = ":/ToolIcons/IDB_TILE_BLUR";

// Every tool of the library, in load order.
const ExpectedRecord Table[] = {
	{"FoCalc", "Korvane.FoCalc", "FoCalc", "QZ_Tools\\DofTools", "FoCalc", "Depth Of Field Calculator Tool", Brightness, 1, 1},
	{"ZRemapper", "Korvane.ZRemapper", "ZRemapper", "QZ_Tools\\DofTools", "ZRemap", "Z Depth Remap Tool", Brightness, 1, 1},
	{"Normalizer", "Korvane.Normalizer", "Normalizer", "QZ_Tools\\ColorTools", "Normalizer", "Channel Normalizer", Brightness, {}, {}},
	{"ClipMotionVectors", "Korvane.ClipMotionVectors", "ClipMotionVectors", "QZ_Tools\\Misc", "ClipMotionVectors", "ClipMotionVectors", Dissolve, {}, {}},
	{"Convolution", "Korvane.Convolution", "Convolution", "QZ_Tools\\Blur", "Convolution", "Convolution", Blur, 0, 0},
	{"DirtyDof", "Korvane.DirtyDof", "DirtyDOF", "QZ_Tools\\Blur", "DirtyDOF", "DirtyDOF", Blur, 0, 0},
	{"Fallof", "Korvane.Falloff", "Falloff", "QZ_Tools\\RelightTools", "Falloff", "Falloff Mask", Dissolve, 0, 0},
	{"Relight", "Korvane.IntuitiveRelighter", "IntuitiveRelighter", "QZ_Tools\\RelightTools", "IntuitiveRelight", "Intuitive Relighter", Dissolve, 0, 0},
	{"SSAO", "Korvane.SSAO", "SSAO", "QZ_Tools\\RelightTools", "SSAO", "Screen Space Ambient Occlusion", Dissolve, 0, 1},
	{"SimpleSpotlight", "Korvane.SimpleSpotlight", "SimpleSpotlight", "QZ_Tools\\RelightTools", "SimpleSpotlight", "Spot Relighter", Dissolve, 0, 0},
	{"StereoSwitch", "Korvane.StereoSwitch", "StereoSwitch", "QZ_Tools\\Stereo", "StereoSwitch", "StereoSwitch", Dissolve, 1, 1},
	{"UVpositioner", "Korvane.UVpositioner", "UVpositioner", "QZ_Tools\\UVTools", "UVpositioner", "UV positioner", Dissolve, 1, 1},
	{"UVunwrap", "Korvane.UVunwrap", "UVunwrap", "QZ_Tools\\UVTools", "UVunwrap", "UV unwrapper", Dissolve, 1, 1},
	{"Wireless", "Korvane.Wireless", "Wireless", "QZ_Tools\\Misc", "Wireless", "Wireless Link", Dissolve, 1, 1},
	{"ZDevider", "Korvane.ZDevider", "ZDevider", "QZ_Tools\\DofTools", "ZDevider", "Z Depth Devider Tool", Brightness, 1, 1},
};

const ExpectedRecord* Expected(const Registry* tool)
{
	for (const ExpectedRecord& record : Table)
		if (tool->ID() == record.ClassId)
			return &record;
	return nullptr;
}
}

TEST(Registration, ToolsRegisterInTableOrder)
{
	std::vector<std::string> registered, expected;
	for (const Registry* tool : Plugins().Tools())
		registered.push_back(tool->ID().GetRawString());
	for (const ExpectedRecord& record : Table)
		if (std::find(registered.begin(), registered.end(), record.ClassId) != registered.end())
			expected.push_back(record.ClassId);
	EXPECT_EQ(registered, expected) << "unknown tools, duplicates or a different order";
	EXPECT_GE(registered.size(), 2u);
	EXPECT_EQ(registered.front(), "Korvane.FoCalc");
	EXPECT_EQ(registered.back(), "Korvane.ZDevider");
}

TEST(Registration, RecordsCarryTheirAttributesInOrder)
{
	for (const Registry* tool : Plugins().Tools())
	{
		const ExpectedRecord* record = Expected(tool);
		ASSERT_NE(record, nullptr) << tool->ID().GetRawString();
		SCOPED_TRACE(record->ClassName);

		std::vector<uint32_t> codes;
		for (const TagStore::Entry& e : tool->Attributes().Entries())
			codes.push_back(e.Code);
		std::vector<uint32_t> expectedCodes = {Attr::RegInitFn, Attr::RegCleanupFn, Attr::RegKind, Attr::BuildStamp,
		                                       Attr::BaseClass, Attr::ScriptInfo,   Attr::Factory, Attr::IconPath,
		                                       Attr::RegName,   Attr::Category,     Attr::ShortName, Attr::LongName};
		if (record->Flag03)
			expectedCodes.push_back(Attr::RegFlag03);
		if (record->Flag17)
			expectedCodes.push_back(Attr::RegFlag17);
		expectedCodes.push_back(Attr::RegFlag19);
		EXPECT_EQ(codes, expectedCodes);

		const TagStore& attrs = tool->Attributes();
		EXPECT_EQ(attrs.GetInt(Attr::RegKind), 3);
		EXPECT_EQ(attrs.GetText(Attr::BuildStamp).rfind("Built: ", 0), 0u);
		EXPECT_EQ(attrs.GetText(Attr::BuildStamp).size(), std::string("Built: Mar 15 2017").size());
		EXPECT_EQ(attrs.GetPointer<const FuID*>(Attr::BaseClass), &ThreadedOperator::ClassID);
		EXPECT_EQ(attrs.GetPointer<const void*>(Attr::RegInitFn), reinterpret_cast<const void*>(&Operator::RegInit));
		EXPECT_EQ(attrs.GetPointer<const void*>(Attr::RegCleanupFn), reinterpret_cast<const void*>(&Operator::RegCleanup));
		EXPECT_EQ(attrs.GetText(Attr::IconPath), record->Icon);
		EXPECT_EQ(attrs.GetText(Attr::RegName), record->RegName);
		EXPECT_EQ(attrs.GetText(Attr::Category), record->Category);
		EXPECT_EQ(attrs.GetText(Attr::ShortName), record->ShortName);
		EXPECT_EQ(attrs.GetText(Attr::LongName), record->LongName);
		EXPECT_EQ(attrs.GetInt(Attr::RegFlag03, -1), record->Flag03.value_or(-1));
		EXPECT_EQ(attrs.GetInt(Attr::RegFlag17, -1), record->Flag17.value_or(-1));
		EXPECT_EQ(attrs.GetInt(Attr::RegFlag19), 1);

		ScriptInfo* info = attrs.GetPointer<ScriptInfo*>(Attr::ScriptInfo);
		ASSERT_NE(info, nullptr);
		EXPECT_EQ(info->Version(), 1u);
		EXPECT_EQ(info->ClassIdText(), record->ClassId);
		int object = 0;
		EXPECT_EQ(info->_FromObj(nullptr), nullptr);
		EXPECT_EQ(info->_ToObj(nullptr), nullptr);
		EXPECT_EQ(info->_FromObj(&object), &object);
		EXPECT_EQ(info->_ToObj(&object), &object);
	}
}

TEST(Registration, FactoriesMakeThreadedOperatorsOfTheirClass)
{
	for (const Registry* tool : Plugins().Tools())
	{
		const ExpectedRecord* record = Expected(tool);
		ASSERT_NE(record, nullptr);
		EXPECT_EQ(Plugins().ClassName(tool), record->ClassName);
		EXPECT_EQ(Plugins().FindTool(record->ClassName), tool);
		EXPECT_EQ(Plugins().FindTool(record->ShortName), tool);
		EXPECT_EQ(Plugins().FindTool(record->ClassId), tool);
		ToolSession session(tool);
		Operator& op = session.Tool();
		EXPECT_NE(dynamic_cast<ThreadedOperator*>(&op), nullptr);
		EXPECT_EQ(GetBaseTypeName(typeid(op)), "ThreadedOperator");
		EXPECT_GT(op.SizeOf(), static_cast<int>(sizeof(ThreadedOperator)));
		EXPECT_EQ(op.GetRegistry(), tool);
		ASSERT_EQ(op.Pages().size(), 1u);
		EXPECT_EQ(op.Pages()[0].Name, "Settings");
		ASSERT_EQ(op.Outputs().size(), 1u);
	}
}

TEST(Registration, CategoriesAreSharedByteForByte)
{
	std::map<std::string, std::set<std::string>> byCategory;
	for (const Registry* tool : Plugins().Tools())
		byCategory[tool->Attributes().GetText(Attr::Category)].insert(tool->Name());
	for (const auto& [category, tools] : byCategory)
		EXPECT_EQ(category.find("QZ_Tools\\"), 0u) << category;
	EXPECT_TRUE(byCategory["QZ_Tools\\DofTools"].count("FoCalc"));
}
