// What each binding file contributes to the module: named values made on
// request. The module body adds them in its one fixed order.
#pragma once

#include <functional>
#include <map>
#include <string>

#include "python/binding.h"

namespace tidemark::py {

class Exports {
public:
    using Maker = std::function<PyObject*(PyObject* module)>;

    void add_class(const char* name, PyTypeObject* (*type)());
    // `def` must have static storage; the function's name is its ml_name.
    void add_function(const PyMethodDef& def);
    // New reference to the value of `name`, or a fault when nothing provides it.
    PyObject* make(const std::string& name, PyObject* module) const;
    bool has(const std::string& name) const { return makers_.count(name) != 0; }

private:
    void add(const std::string& name, Maker m);
    std::map<std::string, Maker> makers_;
};

void export_records(Exports& ex);       // bindings.cpp
void export_instruments(Exports& ex);   // instrument_bindings.cpp
void export_sessions(Exports& ex);      // session_bindings.cpp
void export_strategies(Exports& ex);    // strategy_bindings.cpp
void export_indicators(Exports& ex);    // indicator_bindings.cpp
void export_analytics(Exports& ex);     // analytics_bindings.cpp

}  // namespace tidemark::py
