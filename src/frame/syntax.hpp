// Syntax-tree nodes that the source-building modules share. The module must have imported `ast`
// (its global name `ast` is read when a node is made). Keyword arguments go in the order the ast
// classes list their fields; every node gets a fresh `ast.Load()`.
#pragma once
#include "frame.hpp"

namespace kv::syntax {

inline Obj load(Where where = Where::current()) {
    return module_attr<"Load">(global<"ast">(where), where).call({}, {}, where);
}

inline Obj name_node(Handle id, Where where = Where::current()) {
    static const Keywords keys{"id", "ctx"};
    return module_attr<"Name">(global<"ast">(where), where).call({}, keys, {id, load(where)}, where);
}

inline Obj constant(Handle value, Where where = Where::current()) {
    static const Keywords keys{"value"};
    return module_attr<"Constant">(global<"ast">(where), where).call({}, keys, {value}, where);
}

}  // namespace kv::syntax
