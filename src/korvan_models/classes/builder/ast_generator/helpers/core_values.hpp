// The `.value` of CoreTypes members, for the helpers that test a property's type against them.
// Members and their values never change, so each is read once per CoreTypes class; a module whose
// CoreTypes is rebound reads them afresh. Included by one source of each module.
#pragma once
#include "frame.hpp"

namespace korvan {

struct CoreValue {
    const char* member;
    kv::Obj owner, value;
};

// property_type == CoreTypes.<member>.value, with CoreTypes read from the module namespace.
inline bool is_core(kv::Handle property_type, CoreValue& core) {
    kv::Obj owner = kv::global("CoreTypes");
    if (!owner.is(core.owner)) {
        core.value = owner.attr(kv::Handle(kv::name(core.member))).attr("value");
        core.owner = owner;
    }
    // The cache is rewritten when a comparison rebinds CoreTypes and calls in again: compare an
    // owned copy, never the cache slot itself.
    kv::Obj value = core.value;
    return property_type.eq(value);
}

// One member's cached value; never destroyed, it lives as long as the module.
inline CoreValue& core_value(const char* member) { return *new CoreValue{member, {}, {}}; }

}  // namespace korvan
