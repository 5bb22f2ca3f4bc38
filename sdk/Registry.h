#pragma once
#include <functional>
#include <string>
#include <typeinfo>

#include "FuID.h"
#include "TagList.h"

class Object;
class Registry;

/// The script table a tool is created with. This host creates tools from the
/// command line and flow files, so the table carries nothing yet.
class ScriptVal
{
};

using FactoryFn = Object* (*)(const Registry*, const ScriptVal&, const TagList&);

/// One node of a class list: records in the order they registered.
struct RegistryList
{
	Registry* Record;
	RegistryList* Next;
};

/// The host's global class list: every registered tool record.
extern RegistryList* ClassRegistry;

/// A registration record: class ID plus the attributes a plug-in registers
/// (names, category, icon, factory, ...). A record joins a class list with
/// `_Init` and leaves it when destroyed, which happens when its library unloads.
class Registry
{
public:
	Registry() = default;
	Registry(const Registry&) = delete;
	Registry& operator=(const Registry&) = delete;
	~Registry();

	/// Copies the id and attributes and appends this record to `*list`.
	void _Init(RegistryList** list, const FuID& id, TagList& attrs);

	const FuID& ID() const { return Id; }
	const TagStore& Attributes() const { return Attrs; }
	std::string Name() const { return Attrs.GetText(Attr::RegName); }

	/// Creates a tool of this kind through the registered factory; null when
	/// the record has none.
	Object* Create(const ScriptVal& table, const TagList& tags) const;

private:
	FuID Id;
	TagStore Attrs;
	RegistryList** List = nullptr;
};

/// Called with every record that joins (`added` true) or leaves a class list.
/// A host sets it to follow plug-ins as they load and unload.
using RegistryListener = std::function<void(const Registry&, bool added)>;
void SetRegistryListener(RegistryListener listener);

/// Conversions between a script object and the object it stands for.
class ScriptInfo
{
public:
	ScriptInfo(unsigned int version, const char* classId, const char* help, const char* extra);
	virtual ~ScriptInfo() = default;
	virtual void* _FromObj(void* obj) { return obj; }
	virtual void* _ToObj(void* obj) { return obj; }

	unsigned int Version() const { return Ver; }
	const std::string& ClassIdText() const { return ClassId; }

private:
	unsigned int Ver;
	std::string ClassId;
};

/// Tells the host that class `cls` derives from class `base`.
void SetTypeInfo(const std::type_info& cls, const std::type_info& base);

/// The readable name of the base class recorded for `cls`, or "" if none.
std::string GetBaseTypeName(const std::type_info& cls);

/// The readable (demangled) name of a type.
std::string TypeName(const std::type_info& type);
