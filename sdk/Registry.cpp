#include "Registry.h"

#include <cxxabi.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>

RegistryList* ClassRegistry = nullptr;

static RegistryListener& Listener()
{
	static RegistryListener listener;
	return listener;
}

void SetRegistryListener(RegistryListener listener)
{
	Listener() = std::move(listener);
}

void Registry::_Init(RegistryList** list, const FuID& id, TagList& attrs)
{
	Id = id;
	Attrs = TagStore(attrs);
	List = list;

	RegistryList** tail = list;
	while (*tail)
		tail = &(*tail)->Next;
	*tail = new RegistryList{this, nullptr};

	if (Listener())
		Listener()(*this, true);
}

Registry::~Registry()
{
	if (!List)
		return;
	for (RegistryList** node = List; *node; node = &(*node)->Next)
		if ((*node)->Record == this)
		{
			RegistryList* gone = *node;
			*node = gone->Next;
			delete gone;
			break;
		}
	if (Listener())
		Listener()(*this, false);
}

Object* Registry::Create(const ScriptVal& table, const TagList& tags) const
{
	FactoryFn factory = Attrs.GetPointer<FactoryFn>(Attr::Factory);
	return factory ? factory(this, table, tags) : nullptr;
}

ScriptInfo::ScriptInfo(unsigned int version, const char* classId, const char* /*help*/, const char* /*extra*/)
	: Ver(version), ClassId(classId ? classId : "")
{
}

std::string TypeName(const std::type_info& type)
{
	int status = 0;
	std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), std::free);
	return status == 0 && name ? name.get() : type.name();
}

// Keyed by name, not by type_info: a plug-in's type_info goes away with the
// plug-in, its name stays meaningful.
static std::mutex TypeMutex;
static std::map<std::string, std::string>& BaseTypes()
{
	static std::map<std::string, std::string> bases;
	return bases;
}

void SetTypeInfo(const std::type_info& cls, const std::type_info& base)
{
	std::lock_guard<std::mutex> lock(TypeMutex);
	BaseTypes()[TypeName(cls)] = TypeName(base);
}

std::string GetBaseTypeName(const std::type_info& cls)
{
	std::lock_guard<std::mutex> lock(TypeMutex);
	auto it = BaseTypes().find(TypeName(cls));
	return it == BaseTypes().end() ? "" : it->second;
}
