// Loading and unloading the plug-in: records join the class list in table
// order and leave it in reverse order. A program of its own, so no other test
// holds the library open.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qz/core/PluginHost.h"

TEST(Unload, RecordsLeaveInReverseOrder)
{
	std::vector<std::string> added, removed;
	SetRegistryListener([&](const Registry& reg, bool joined) {
		(joined ? added : removed).push_back(reg.ID().GetRawString());
	});
	{
		PluginHost host({QZ_BIN_DIR});
		ASSERT_GE(host.Tools().size(), 2u);
		EXPECT_EQ(added.front(), "Korvane.FoCalc");
		EXPECT_EQ(added.back(), "Korvane.ZDevider");
		EXPECT_TRUE(removed.empty());
	}
	SetRegistryListener(nullptr);
	EXPECT_EQ(ClassRegistry, nullptr) << "every record left the class list";
	EXPECT_EQ(removed, std::vector<std::string>(added.rbegin(), added.rend()));
}
