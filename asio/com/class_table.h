// The classes this server can create.
#pragma once

#include "asio/com/aggregatable_unknown.h"

namespace korvex {

// Creates an object aggregated by `outer` (or stand-alone when null). Returns
// null when it could not be allocated. May report a failure through `result`.
typedef AggregatableUnknown* (*CreateFunction)(IUnknown* outer, HRESULT* result);
typedef void (*InitRoutine)(BOOL loading, const CLSID* classId);

struct FactoryTemplate {
    const WCHAR* templateName;
    const CLSID* classId;
    CreateFunction create;
    InitRoutine initRoutine;
};

extern const FactoryTemplate classTable[];
extern const int classTableSize;

}  // namespace korvex
