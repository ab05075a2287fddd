// Device interface paths in the form the system gives them:
// \\?\<instance ID with # for \>#{<category>}\<reference>, in lower case.
#pragma once

#include "platform/win32.h"

#include <string>

namespace sim {

std::wstring InterfacePath(const std::wstring& instanceId, const GUID& category, int index);

}  // namespace sim
