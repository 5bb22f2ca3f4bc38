#pragma once
// The part of a depth tool's page that shows its camera's depth of field:
// the same read-outs, in the same order, on every tool that has them.
#include <initializer_list>
#include <vector>

#include "Declarations.h"

/// The read-outs after a depth tool's output heading: frame aspect, circle of
/// confusion, hyperfocal distance, a note on infinite limits, then the near
/// and far limits and the total. `Tool` keeps them in members of these names.
template <class Tool>
std::vector<InputDecl<Tool>> DepthOfFieldReadoutDecls()
{
	using namespace Attr;
	const DeclTag number{DataType, CLSID_DataType_Number}, slider{Control, CLSID_InputControl_Slider};
	const DeclTag readout000A{Flag000A, 1}, readout0010{Flag0010, 1};
	return {
		{&Tool::InFrameAspect, "Frame Aspect", "FrameAspect", {number, slider, readout000A, readout0010, {Default, 1.0}}},
		{&Tool::InCoC, "Circle of confusion (mm)", "CoC", {number, slider, readout000A, readout0010, {Default, 1.0}}},
		{&Tool::InHyperFocal, "HyperFocal (m)", "HyperFocal", {number, slider, readout000A, readout0010, {Default, 53.26039}}},
		{&Tool::InInfoLabel, "If DofFar and DofTotal are infinite number output is 0.0", "DOFInfo", LabelTags()},
		{&Tool::InDoFNear, "DoF Near (m)", "DoFN", {number, slider, readout000A, readout0010, {Default, 7.783956}}},
		{&Tool::InDoFFar, "DoF Far (m)", "DoFF", {number, slider, readout000A, readout0010, {Default, 10.97404}}},
		{&Tool::InDoFTotal, "DoF Total (m)", "DoFT", {number, slider, readout000A, readout0010, {Default, 3.19008}}},
	};
}

/// A tool's declarations from consecutive parts of its table, in order.
template <class Tool>
std::vector<InputDecl<Tool>> JoinDecls(std::initializer_list<std::vector<InputDecl<Tool>>> parts)
{
	std::vector<InputDecl<Tool>> joined;
	for (const auto& part : parts)
		joined.insert(joined.end(), part.begin(), part.end());
	return joined;
}
