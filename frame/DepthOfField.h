#pragma once
// Depth of field of a camera, as the depth tools show it on their pages.
// Units: focal length and circle of confusion in mm, film back in inches,
// distances in m.

struct CameraSettings
{
	double FocalLength;     // f, mm
	double PlaneOfFocus;    // |s|, m; the callers pass a non-negative distance
	double ApertureWidth;   // film back, inches
	double ApertureHeight;  // film back, inches
	double Fstop;           // N
};

struct DepthOfField
{
	double FrameAspect;        // width / height
	double CircleOfConfusion;  // mm
	double HyperfocalMm;       // K, mm
	double Near, Far, Total;   // m; Far < 0 when focus lies beyond the hyperfocal distance

	/// The far limit as shown: 0 when it lies at infinity (Far < 0).
	double ShownFar() const { return Far < 0 ? 0.0 : Far; }
	double ShownTotal() const { return Far < 0 ? 0.0 : Total; }
};

class Input;

/// The read-out sliders a depth tool shows its camera's depth of field in.
struct DepthOfFieldReadouts
{
	Input *FrameAspect, *CircleOfConfusion, *HyperFocal, *Near, *Far, *Total;
};

/// Writes, in this order: frame aspect, circle of confusion, hyperfocal
/// distance in m (K / 1000), near limit, far limit and total as shown (0 when
/// the far limit lies at infinity).
void ShowDepthOfField(const DepthOfField& dof, const DepthOfFieldReadouts& readouts);

/// A = W / H; c = (sqrt(W^2 + H^2) * 25.4) / 1500; K = f^2 / (N * c);
/// Near = (K * s) / (K + ((1000 * s) - f)); Far = (K * s) / (K - ((1000 * s) - f));
/// Total = Far - Near. All in double, in that grouping; divisions by zero
/// follow IEEE arithmetic.
DepthOfField ComputeDepthOfField(const CameraSettings& camera);
