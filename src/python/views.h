// What sessions hand back to a driver: engine events (`EngineEvent`) and
// open-position views (`PositionSnapshot`). The classes are defined in
// strategy_bindings.cpp; every session binding converts through these.
#pragma once

#include <vector>

#include "core/vocabulary.h"
#include "execution/ledger.h"
#include "python/binding.h"

namespace tidemark::py {

template <>
struct PyClass<EngineEventRecord> {
    static constexpr const char* name = "EngineEvent";
    static PyTypeObject* type();
};

template <>
struct PyClass<PositionSnapshot> {
    static constexpr const char* name = "PositionSnapshot";
    static PyTypeObject* type();
};

// A new list of `EngineEvent` objects in record order; the records are moved
// into the objects and `records` is left empty.
PyRef engine_events_to_py(std::vector<EngineEventRecord>& records);

// A new list of `PositionSnapshot` objects.
PyRef position_snapshots_to_py(std::vector<PositionSnapshot>&& snapshots);

}  // namespace tidemark::py
