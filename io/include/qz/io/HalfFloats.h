#pragma once
// Floats to IEEE half floats, as EXR files and the studio's previews store them.

/// Converts `count` floats, `stride` floats apart, to half bits (two bytes
/// each, the machine's order), rounding to the nearest, ties to even; with
/// the processor's conversion where it has one (GCC builds on x86-64 pick it
/// at run time).
void ToHalf(const float* from, int stride, unsigned char* to, int count);
