#pragma once
// The page of a depth tool that shows its camera's depth of field: the same
// camera inputs, read-outs and image input, in the same order, on every tool
// that has them.
#include <vector>

#include "Declarations.h"

/// `Tool` keeps the inputs in members of the names below and befriends
/// `DepthOfFieldPage<Tool>`.
template <class Tool>
struct DepthOfFieldPage
{
	/// The heading, then `sceneInputs`, the focal length, the plane of focus
	/// (a number whose control attributes are `planeOfFocusControl`), the film
	/// back and f-stop; the output heading captioned `outputHeading`; the
	/// read-outs: frame aspect, circle of confusion, hyperfocal distance, a
	/// note on infinite limits, the near and far limits and the total; last
	/// the image "Input".
	static std::vector<InputDecl<Tool>> Declarations(const std::vector<InputDecl<Tool>>& sceneInputs,
	                                                 const std::vector<DeclTag>& planeOfFocusControl,
	                                                 const char* outputHeading)
	{
		using namespace Attr;
		const DeclTag number{DataType, CLSID_DataType_Number}, slider{Control, CLSID_InputControl_Slider};
		const DeclTag readout000A{Flag000A, 1}, readout0010{Flag0010, 1};
		std::vector<DeclTag> planeOfFocus{number};
		planeOfFocus.insert(planeOfFocus.end(), planeOfFocusControl.begin(), planeOfFocusControl.end());
		planeOfFocus.push_back({Default, 9.107735});

		std::vector<InputDecl<Tool>> decls{{&Tool::InCameraLabel, "Input Cam And Scene Info", "ICI", LabelTags()}};
		decls.insert(decls.end(), sceneInputs.begin(), sceneInputs.end());
		decls.insert(decls.end(), {
			{&Tool::InFocalLength, "Focal Length (mm)", "FocalLength", {number, slider, {RangeLow, 0.0}, {Default, 50.0}}},
			{&Tool::InPlaneOfFocus, "Plane Of Focus (m)", "PlaneOfFocus", planeOfFocus},
			{&Tool::InApertureWidth, "Aperture Width (inch)", "ApertureWidth", {number, slider, {RangeLow, 0.0}, {Default, 0.98}}},
			{&Tool::InApertureHeight, "Aperture Height (inch)", "ApertureHeight", {number, slider, {RangeLow, 0.0}, {Default, 0.735}}},
			{&Tool::InFstop, "Fstop", "Fstop", {number, slider, {RangeLow, 0.0}, {Default, 2.8}}},
			{&Tool::InOutputLabel, outputHeading, "CDO", LabelTags()},
			{&Tool::InFrameAspect, "Frame Aspect", "FrameAspect", {number, slider, readout000A, readout0010, {Default, 1.0}}},
			{&Tool::InCoC, "Circle of confusion (mm)", "CoC", {number, slider, readout000A, readout0010, {Default, 1.0}}},
			{&Tool::InHyperFocal, "HyperFocal (m)", "HyperFocal", {number, slider, readout000A, readout0010, {Default, 53.26039}}},
			{&Tool::InInfoLabel, "If DofFar and DofTotal are infinite number output is 0.0", "DOFInfo", LabelTags()},
			{&Tool::InDoFNear, "DoF Near (m)", "DoFN", {number, slider, readout000A, readout0010, {Default, 7.783956}}},
			{&Tool::InDoFFar, "DoF Far (m)", "DoFF", {number, slider, readout000A, readout0010, {Default, 10.97404}}},
			{&Tool::InDoFTotal, "DoF Total (m)", "DoFT", {number, slider, readout000A, readout0010, {Default, 3.19008}}},
			{&Tool::InImage, "Input", "Input", {{DataType, CLSID_DataType_Image}, {MainIndex, 1}}},
		});
		return decls;
	}
};
