#pragma once
#include <atomic>

#include "FuID.h"

/// A host object with a use count. It starts with one use; `Recycle` drops a
/// use and destroys the object when none is left.
class Object
{
public:
	Object() = default;
	Object(const Object&) = delete;
	Object& operator=(const Object&) = delete;
	virtual ~Object() = default;

	void Use() { Uses.fetch_add(1, std::memory_order_relaxed); }
	void Recycle();
	int UseCount() const { return Uses.load(std::memory_order_relaxed); }

private:
	std::atomic<int> Uses{1};
};

/// A value that flows through inputs and outputs: numbers, identifiers, images.
class Parameter : public Object
{
public:
	/// This parameter as a `T` (a pointer type), or null when it is not one.
	template <class T>
	T GetValue()
	{
		return dynamic_cast<T>(this);
	}
};

class Number : public Parameter
{
public:
	explicit Number(double value) : Value(value) {}
	operator double() const { return Value; }

private:
	double Value;
};

/// A button row's value: the text of the chosen button.
class FuIDParam : public Parameter
{
public:
	explicit FuIDParam(const FuID& value) : Value(value) {}
	operator FuID() const { return Value; }

private:
	FuID Value;
};

/// Holds one use of a parameter for a scope and recycles it at the end.
class AutoParameter
{
public:
	explicit AutoParameter(Parameter* param = nullptr) : Param(param) {}
	AutoParameter(const AutoParameter&) = delete;
	AutoParameter& operator=(const AutoParameter&) = delete;
	~AutoParameter()
	{
		if (Param)
			Param->Recycle();
	}

protected:
	Parameter* Param;
};

/// A new `Number` held for a scope, typically handed to `Input::SetSource`.
class AutoNumber : public AutoParameter
{
public:
	explicit AutoNumber(double value) : AutoParameter(new Number(value)) {}
	operator Number*() const { return static_cast<Number*>(Param); }
};
