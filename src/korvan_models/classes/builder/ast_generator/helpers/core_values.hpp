// The `.value` of CoreTypes members, for the helpers that test a property's type against them.
// Members and their values never change, so each is read once per CoreTypes class; a module whose
// CoreTypes is rebound reads them afresh. Included by one source of each module.
#pragma once
#include "exact.hpp"
#include "frame.hpp"

namespace korvan {

struct CoreValue {
    const char* member;
    kv::FromGlobal cache{"CoreTypes"};
};

// property_type == CoreTypes.<member>.value, with CoreTypes read from the module namespace. The
// comparison may rebind CoreTypes and call in again, rewriting the cache: it compares an owned copy.
inline bool is_core(kv::Handle property_type, CoreValue& core) {
    kv::Obj value = core.cache.get([&](kv::Handle owner) { return owner.attr(kv::Handle(kv::name(core.member))).attr("value"); });
    if (kv::exact_str(property_type) && kv::exact_str(value)) return kv::same_text(property_type, value);
    return property_type.eq(value);
}

// One member's cached value; never destroyed, it lives as long as the module.
inline CoreValue& core_value(const char* member) { return *new CoreValue{member}; }

}  // namespace korvan
