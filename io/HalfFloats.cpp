#include "qz/io/HalfFloats.h"

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#include <immintrin.h>
#endif

#include <Imath/half.h>

#include <cstdint>
#include <cstring>

namespace
{
void ToHalfPortable(const float* from, int stride, unsigned char* to, int count)
{
	for (int i = 0; i < count; ++i, from += stride)
	{
		const uint16_t bits = Imath::half(*from).bits();
		std::memcpy(to + 2 * i, &bits, 2);
	}
}

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
__attribute__((target("f16c,avx"))) void ToHalfF16c(const float* from, int stride, unsigned char* to, int count)
{
	const int whole = count / 8 * 8;
	for (int i = 0; i < whole; i += 8, from += 8 * stride)
	{
		const __m256 values = _mm256_setr_ps(from[0], from[stride], from[2 * stride], from[3 * stride],
		                                     from[4 * stride], from[5 * stride], from[6 * stride], from[7 * stride]);
		_mm_storeu_si128(reinterpret_cast<__m128i*>(to + 2 * i), _mm256_cvtps_ph(values, _MM_FROUND_TO_NEAREST_INT));
	}
	ToHalfPortable(from, stride, to + 2 * whole, count - whole);
}
#endif
}

void ToHalf(const float* from, int stride, unsigned char* to, int count)
{
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
	static const bool f16c = __builtin_cpu_supports("f16c") && __builtin_cpu_supports("avx");
	if (f16c)
		return ToHalfF16c(from, stride, to, count);
#endif
	ToHalfPortable(from, stride, to, count);
}
