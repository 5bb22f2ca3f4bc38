#pragma once
// The declarations a depth tool's page shows (`Declarations` lines), for the
// tools that differ only in their scene inputs, the control of the plane of
// focus and the caption of the output heading.
#include <string>
#include <vector>

inline std::vector<std::string> DepthOfFieldDeclarations(const std::vector<std::string>& sceneInputs,
                                                         const std::string& planeOfFocusControl,
                                                         const std::string& outputHeading)
{
	const std::string readout = "DataType=Number,Control=SliderControl,Flag000A=1,Flag0010=1,Default=";
	const std::string label = "Control=LabelControl,Flag0000=0,Flag0010=1";
	const std::string slider = "DataType=Number,Control=SliderControl,RangeLow=0,Default=";
	std::vector<std::string> lines{"ICI|Input Cam And Scene Info|" + label};
	lines.insert(lines.end(), sceneInputs.begin(), sceneInputs.end());
	lines.insert(lines.end(), {
		"FocalLength|Focal Length (mm)|" + slider + "50",
		"PlaneOfFocus|Plane Of Focus (m)|DataType=Number," + planeOfFocusControl + ",Default=9.107735",
		"ApertureWidth|Aperture Width (inch)|" + slider + "0.98",
		"ApertureHeight|Aperture Height (inch)|" + slider + "0.735",
		"Fstop|Fstop|" + slider + "2.8",
		"CDO|" + outputHeading + "|" + label,
		"FrameAspect|Frame Aspect|" + readout + "1",
		"CoC|Circle of confusion (mm)|" + readout + "1",
		"HyperFocal|HyperFocal (m)|" + readout + "53.26039",
		"DOFInfo|If DofFar and DofTotal are infinite number output is 0.0|" + label,
		"DoFN|DoF Near (m)|" + readout + "7.783956",
		"DoFF|DoF Far (m)|" + readout + "10.97404",
		"DoFT|DoF Total (m)|" + readout + "3.19008",
		"Input|Input|DataType=Image,MainIndex=1",
		"Output|Output|DataType=Image,MainIndex=1",
	});
	return lines;
}
