#include "Registration.h"

#include <vector>

ToolRegistration::ToolRegistration(Registry& reg, const FuID& classId, ScriptInfo& scriptInfo, FactoryFn factory,
                                   const char* buildStamp, const ToolRecord& record)
{
	std::vector<TagWord> words = {
		Attr::RegInitFn,    TagFromPointer(reinterpret_cast<const void*>(&Operator::RegInit)),
		Attr::RegCleanupFn, TagFromPointer(reinterpret_cast<const void*>(&Operator::RegCleanup)),
		Attr::RegKind,      3,
		Attr::BuildStamp,   TagFromPointer(buildStamp),
		Attr::BaseClass,    TagFromPointer(&ThreadedOperator::ClassID),
		Attr::ScriptInfo,   TagFromPointer(&scriptInfo),
		Attr::Factory,      TagFromPointer(reinterpret_cast<const void*>(factory)),
		Attr::IconPath,     TagFromPointer(record.IconPath),
		Attr::RegName,      TagFromPointer(record.RegName),
		Attr::Category,     TagFromPointer(record.Category),
		Attr::ShortName,    TagFromPointer(record.ShortName),
		Attr::LongName,     TagFromPointer(record.LongName),
	};
	if (record.Flag03)
		words.insert(words.end(), {Attr::RegFlag03, TagWord(*record.Flag03)});
	if (record.Flag17)
		words.insert(words.end(), {Attr::RegFlag17, TagWord(*record.Flag17)});
	words.insert(words.end(), {Attr::RegFlag19, 1, 0});

	TagList attrs(words.data(), false);
	reg._Init(&ClassRegistry, classId, attrs);
}
