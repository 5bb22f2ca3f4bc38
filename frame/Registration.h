#pragma once
// Static registration of a tool with the host: one record per tool, made
// while the plug-in loads, destroyed in reverse order when it unloads.
#include <optional>
#include <typeinfo>

#include "Operator.h"
#include "Registry.h"

/// Script conversions of one tool class: the script object and the tool
/// object are the same pointer.
template <class Tool>
class ScriptInfoT : public ScriptInfo
{
public:
	ScriptInfoT(unsigned int version, const char* classId, const char* help, const char* extra)
		: ScriptInfo(version, classId, help, extra)
	{
	}
	void* _FromObj(void* obj) override { return obj; }
	void* _ToObj(void* obj) override { return obj; }
};

/// Tells the host, when constructed, that `Tool` derives from `Base`.
template <class Tool, class Base>
class FuTypeInfo
{
public:
	FuTypeInfo() { SetTypeInfo(typeid(Tool), typeid(Base)); }
};

/// What a tool's registration record says about it besides its class ID.
struct ToolRecord
{
	const char* RegName;
	const char* Category;
	const char* ShortName;
	const char* LongName;
	const char* IconPath;
	std::optional<bool> Flag03;  // left out of the record when empty
	std::optional<bool> Flag17;  // left out of the record when empty
};

constexpr const char* IconBrightness = ":/ToolIcons/IDB_TILE_BRIGHTNESS";
constexpr const char* IconDissolve = ":/ToolIcons/IDB_TILE_DISSOLVE";
constexpr const char* IconBlur = ":/ToolIcons/IDB_TILE_BLUR";

/// Builds the record's attribute list and registers `reg` in `ClassRegistry`.
struct ToolRegistration
{
	ToolRegistration(Registry& reg, const FuID& classId, ScriptInfo& scriptInfo, FactoryFn factory,
	                 const char* buildStamp, const ToolRecord& record);
};

/// Defines a tool's factory `<Class>_newfunc` and its four static objects, in
/// the order registration needs them: `<Class>::ClassID`, the script info, the
/// type info and the `<Class>::Reg` record (registered as soon as it exists).
#define QZ_REGISTER_TOOL(Class, classIdText, ...)                                                         \
	static Object* Class##_newfunc(const Registry* reg, const ScriptVal& table, const TagList& tags)       \
	{                                                                                                     \
		return new Class(reg, table, tags);                                                               \
	}                                                                                                     \
	FuID Class::ClassID(classIdText, true);                                                               \
	static ScriptInfoT<Class> __ScriptInfo_##Class(1, classIdText, "", "");                               \
	static FuTypeInfo<Class, ThreadedOperator> s_TypeInfo_##Class;                                        \
	Registry Class::Reg;                                                                                  \
	static const ToolRegistration s_Registration_##Class(Class::Reg, Class::ClassID, __ScriptInfo_##Class, \
	                                                     Class##_newfunc, "Built: " __DATE__, ToolRecord __VA_ARGS__)
