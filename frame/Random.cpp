#include "Random.h"
#include <cstring>

SeededRandom::SeededRandom(unsigned seed) : State{}, Data{}
{
	// initstate_r reads Data's fields, hence the zeroing above. It seeds the
	// state exactly as srandom_r(seed) does.
	initstate_r(seed, reinterpret_cast<char*>(State), sizeof State, &Data);
}

SeededRandom::SeededRandom(const SeededRandom& other)
{
	CopyFrom(other);
}

SeededRandom& SeededRandom::operator=(const SeededRandom& other)
{
	if (this != &other)
		CopyFrom(other);
	return *this;
}

int SeededRandom::operator()()
{
	std::int32_t result;
	random_r(&Data, &result);
	return result;
}

void SeededRandom::CopyFrom(const SeededRandom& other)
{
	std::memcpy(State, other.State, sizeof State);
	Data = other.Data;
	// The copied pointers still address other's buffer: move them to the
	// same offsets in ours.
	Data.fptr = State + (other.Data.fptr - other.State);
	Data.rptr = State + (other.Data.rptr - other.State);
	Data.state = State + (other.Data.state - other.State);
	Data.end_ptr = State + (other.Data.end_ptr - other.State);
}

std::vector<int> seededDraws(unsigned seed, int count)
{
	std::vector<int> draws;
	if (count <= 0)
		return draws;
	draws.reserve(static_cast<std::size_t>(count));
	SeededRandom draw(seed);
	for (int i = 0; i < count; ++i)
		draws.push_back(draw());
	return draws;
}
