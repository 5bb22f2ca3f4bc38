#include "DemoScene.h"

#include <algorithm>
#include <cmath>

namespace
{
constexpr double Pi = 3.14159265358979323846;
constexpr double FocalLengthMm = 50.0;
constexpr double FilmWidthMm = 0.98 * 25.4;
constexpr double BackdropDepth = 40.0;
constexpr double GroundHeight = -1.6;  // the camera is 1.6 m above the ground
constexpr double EyeSeparation = 0.065;

struct Vec
{
	double x, y, z;
	Vec operator+(Vec b) const { return {x + b.x, y + b.y, z + b.z}; }
	Vec operator-(Vec b) const { return {x - b.x, y - b.y, z - b.z}; }
	Vec operator*(double s) const { return {x * s, y * s, z * s}; }
	double Dot(Vec b) const { return x * b.x + y * b.y + z * b.z; }
	Vec Unit() const { return *this * (1.0 / std::sqrt(Dot(*this))); }
};

struct Sphere
{
	Vec Centre;
	double Radius;
	Vec Colour;
	Vec Velocity;  // metres per frame
};

const Sphere Spheres[] = {
	{{-0.8, -1.1, 6.0}, 0.5, {0.85, 0.25, 0.2}, {0.05, 0.0, 0.0}},
	{{0.5, -0.8, 9.1}, 0.8, {0.25, 0.6, 0.85}, {0.0, 0.0, -0.1}},
	{{3.0, 0.4, 22.0}, 2.0, {0.9, 0.8, 0.35}, {-0.2, 0.0, 0.0}},
};

const Vec LightDirection = Vec{-0.5, 0.8, -0.4}.Unit();  // towards the light

struct Hit
{
	double T;  // ray parameter; the ray's z component is 1, so T is also the depth
	Vec Position, Normal, Colour, Velocity;
	double U, V;
	bool Surface;  // false: the backdrop
};

Hit Trace(Vec origin, Vec dir, double frame)
{
	Hit hit{(BackdropDepth - origin.z) / dir.z, {}, {0, 0, -1}, {0.55, 0.6, 0.7}, {}, 0, 0, false};
	hit.Position = origin + dir * hit.T;
	hit.U = hit.Position.x / 40.0 + 0.5;
	hit.V = hit.Position.y / 25.0 + 0.5;
	if (dir.y < 0)
	{
		const double t = (GroundHeight - origin.y) / dir.y;
		if (t < hit.T)
		{
			const Vec p = origin + dir * t;
			const bool dark = (static_cast<long>(std::floor(p.x)) + static_cast<long>(std::floor(p.z))) % 2 != 0;
			hit = {t, p, {0, 1, 0}, dark ? Vec{0.3, 0.3, 0.3} : Vec{0.7, 0.7, 0.65}, {}, p.x / 8.0 - std::floor(p.x / 8.0),
			       p.z / 8.0 - std::floor(p.z / 8.0), true};
		}
	}
	for (const Sphere& s : Spheres)
	{
		const Vec centre = s.Centre + s.Velocity * frame;
		const Vec oc = origin - centre;
		const double a = dir.Dot(dir), b = oc.Dot(dir), c = oc.Dot(oc) - s.Radius * s.Radius;
		const double disc = b * b - a * c;
		if (disc < 0)
			continue;
		const double t = (-b - std::sqrt(disc)) / a;
		if (t <= 0 || t >= hit.T)
			continue;
		const Vec p = origin + dir * t;
		const Vec n = (p - centre) * (1.0 / s.Radius);
		hit = {t, p, n, s.Colour, s.Velocity, 0.5 + std::atan2(n.x, -n.z) / (2 * Pi), 0.5 + std::asin(n.y) / Pi, true};
	}
	return hit;
}

Vec Shade(const Hit& hit)
{
	if (!hit.Surface)
		return hit.Colour;
	const double diffuse = std::max(0.0, hit.Normal.Dot(LightDirection));
	return hit.Colour * (0.2 + 0.8 * diffuse);
}

FltPixel Colour(Vec c, float alpha = 1.0f)
{
	FltPixel p;
	p.R = static_cast<float>(c.x);
	p.G = static_cast<float>(c.y);
	p.B = static_cast<float>(c.z);
	p.A = alpha;
	return p;
}
}

DemoScene RenderDemoScene(int width, int height, double frame)
{
	DemoScene scene;
	for (ImageHandle* pass : {&scene.Beauty, &scene.Depth, &scene.Normals, &scene.Position, &scene.UV, &scene.Motion,
	                          &scene.Right})
		pass->reset(new Image(width, height));

	const double filmHeightMm = FilmWidthMm * height / width;
	const double pixelsPerUnit = width * FocalLengthMm / FilmWidthMm;  // image-plane units at z = 1
	for (int y = 0; y < height; ++y)
		for (int x = 0; x < width; ++x)
		{
			const Vec dir{((x + 0.5) / width - 0.5) * FilmWidthMm / FocalLengthMm,
			              ((y + 0.5) / height - 0.5) * filmHeightMm / FocalLengthMm, 1.0};
			const Hit hit = Trace({0, 0, 0}, dir, frame);
			const size_t index = static_cast<size_t>(y) * width + x;

			scene.Beauty->WritePixel(index, Colour(Shade(hit)));
			scene.Depth->WritePixel(index, Colour({hit.T, hit.T, hit.T}));
			scene.Normals->WritePixel(index, Colour(hit.Normal));
			scene.Position->WritePixel(index, Colour(hit.Position));
			scene.UV->WritePixel(index, Colour({hit.U, hit.V, 0.0}, hit.Surface ? 1.0f : 0.0f));

			// Screen motion of the surface point over one frame.
			const Vec moved = hit.Position + hit.Velocity;
			const double mx = (moved.x / moved.z - hit.Position.x / hit.Position.z) * pixelsPerUnit;
			const double my = (moved.y / moved.z - hit.Position.y / hit.Position.z) * pixelsPerUnit;
			scene.Motion->WritePixel(index, Colour({mx, my, 0.0}));

			scene.Right->WritePixel(index, Colour(Shade(Trace({EyeSeparation, 0, 0}, dir, frame))));
		}
	return scene;
}
