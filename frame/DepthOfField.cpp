#include "DepthOfField.h"

#include <cmath>

#include "ToolSupport.h"

DepthOfField ComputeDepthOfField(const CameraSettings& camera)
{
	const double f = camera.FocalLength;
	const double s = camera.PlaneOfFocus;
	const double w = camera.ApertureWidth;
	const double h = camera.ApertureHeight;

	DepthOfField dof;
	dof.FrameAspect = w / h;
	dof.CircleOfConfusion = (std::sqrt(std::pow(w, 2) + std::pow(h, 2)) * 25.4) / 1500;
	const double k = std::pow(f, 2) / (camera.Fstop * dof.CircleOfConfusion);
	dof.HyperfocalMm = k;
	dof.Near = (k * s) / (k + ((1000 * s) - f));
	dof.Far = (k * s) / (k - ((1000 * s) - f));
	dof.Total = dof.Far - dof.Near;
	return dof;
}

void ShowDepthOfField(const DepthOfField& dof, const DepthOfFieldReadouts& readouts)
{
	SetReadout(readouts.FrameAspect, dof.FrameAspect);
	SetReadout(readouts.CircleOfConfusion, dof.CircleOfConfusion);
	SetReadout(readouts.HyperFocal, dof.HyperfocalMm / 1000.0);
	SetReadout(readouts.Near, dof.Near);
	SetReadout(readouts.Far, dof.ShownFar());
	SetReadout(readouts.Total, dof.ShownTotal());
}
