// The depth-of-field formulas on hand-computed cameras, in double as written.
#include <cmath>

#include <gtest/gtest.h>

#include "DepthOfField.h"

TEST(DepthOfField, LimitsOfFocusForHandComputedCameras)
{
	const double nan = std::nan("");
	const struct
	{
		CameraSettings Camera;  // f mm, |s| m, film back W x H inches, N
		double CoC, Hyperfocal, Near, Far, Total, ShownFar;
	} cases[] = {
		// 50 mm at 9.1 m, f/2.8, on a 0.98 x 0.735 inch back.
		{{50, 9.107735, 0.98, 0.735, 2.8}, 0.02074333333333333, 43043.08900162991, 7.524354090752879,
		 11.535117397613648, 4.0107633068607695, 11.535117397613648},
		// Focused beyond the hyperfocal distance: the far limit lies at infinity.
		{{35, 100, 0.98, 0.735, 8}, 0.02074333333333333, 7381.889763779529, 6.8766685090025685, -7.973257481785891,
		 -14.84992599078846, 0.0},
		// Focused at the lens.
		{{50, 0, 0.98, 0.735, 2.8}, 0.02074333333333333, 43043.08900162991, 0.0, 0.0, 0.0, 0.0},
		// f/0: the hyperfocal distance is infinite and the limits are not numbers.
		{{50, 5, 0.98, 0.735, 0}, 0.02074333333333333, HUGE_VAL, nan, nan, nan, nan},
	};
	for (const auto& c : cases)
	{
		const DepthOfField dof = ComputeDepthOfField(c.Camera);
		const auto same = [](double actual, double expected) {
			return std::isnan(expected) ? std::isnan(actual) : actual == expected;
		};
		EXPECT_EQ(dof.FrameAspect, 0.98 / 0.735);
		EXPECT_EQ(dof.CircleOfConfusion, c.CoC);
		EXPECT_TRUE(same(dof.HyperfocalMm, c.Hyperfocal)) << dof.HyperfocalMm;
		EXPECT_TRUE(same(dof.Near, c.Near)) << dof.Near;
		EXPECT_TRUE(same(dof.Far, c.Far)) << dof.Far;
		EXPECT_TRUE(same(dof.Total, c.Total)) << dof.Total;
		EXPECT_TRUE(same(dof.ShownFar(), c.ShownFar)) << dof.ShownFar();
		EXPECT_TRUE(same(dof.ShownTotal(), c.Far < 0 ? 0.0 : c.Total)) << dof.ShownTotal();
	}
}
