#include "Vectors.h"

float float2::maxxpos = 2048.0f;
float float2::maxzpos = 2048.0f;
float float3::maxxpos = 2048.0f;
float float3::maxzpos = 2048.0f;

bool float2::CheckInBounds()
{
	bool inside = true;
	if (x < 0.0)
	{
		x = 0.0;
		inside = false;
	}
	if (x > static_cast<double>(maxxpos))
	{
		x = maxxpos;
		inside = false;
	}
	return inside;
}

bool float3::CheckInBounds()
{
	// Four independent tests, lower bounds first; each that fires clears the flag.
	bool inside = true;
	if (x < 0.0f)
	{
		x = 0.0f;
		inside = false;
	}
	if (z < 0.0f)
	{
		z = 0.0f;
		inside = false;
	}
	if (x > maxxpos)
	{
		x = maxxpos;
		inside = false;
	}
	if (z > maxzpos)
	{
		z = maxzpos;
		inside = false;
	}
	return inside;
}
