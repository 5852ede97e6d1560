// Classes, built through types.new_class. Part of the module frame (frame.hpp includes every part).
#pragma once
#include "function.hpp"

namespace kv {

class ClassSpec {
public:
    explicit ClassSpec(const char* class_name) : name_(class_name) {}
    ClassSpec& doc(const char* text);
    ClassSpec& method(FunctionSpec spec);
    ClassSpec& classmethod(FunctionSpec spec);
    ClassSpec& staticmethod(FunctionSpec spec);
    ClassSpec& property(FunctionSpec getter);
    ClassSpec& cached_property(FunctionSpec getter);
    ClassSpec& cached_method(FunctionSpec spec);  // functools.cache
    ClassSpec& value(const char* attr_name, Handle value);
    ClassSpec& annotation(const char* attr_name, Handle annotation);

    Obj create(Pos bases = {}, Kws kwds = {}, Where where = Where::current());
    // The same with bases and class keywords known only at run time: a tuple and a dict or None.
    Obj create_from(Handle bases, Handle kwds, Where where = Where::current());
    const char* class_name() const { return name_; }

private:
    Obj function_for(FunctionSpec& spec);
    ClassSpec& decorated(FunctionSpec spec, Handle decorator);  // name = decorator(function)
    const char* name_;
    std::vector<std::pair<const char*, Obj>> items_;
    std::vector<std::pair<const char*, Obj>> annotations_;
    const char* doc_ = nullptr;
};

}  // namespace kv
