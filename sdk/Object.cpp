#include "Object.h"

void Object::Recycle()
{
	if (Uses.fetch_sub(1, std::memory_order_acq_rel) == 1)
		delete this;
}
