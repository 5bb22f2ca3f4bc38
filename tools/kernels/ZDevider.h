#pragma once
// ZDevider's per-pixel arithmetic, defined with its formula in
// QZ_Tools_ZDevider.cpp; declared here for tests on raw values.
namespace ZDeviderKernel
{
float DivideChannel(float value, double zmax);
}
