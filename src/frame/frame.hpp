// The module frame shared by every extension module of the package.
//
// Four ideas: owned references with one error path (a failing call throws `PyError`, meaning
// "a Python exception is set"), a function object type with one argument binder, generators as
// C++20 coroutines, and classes created through the host's own class protocol. One header per
// concern: object.hpp, function.hpp, generator.hpp, classes.hpp, module.hpp; exact.hpp and
// records.hpp hold the fast paths over exact built-in types and record fields.
#pragma once
#include "object.hpp"
#include "function.hpp"
#include "generator.hpp"
#include "classes.hpp"
#include "module.hpp"
#include "records.hpp"
