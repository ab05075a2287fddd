#include "service/service.h"

extern "C" int wmain(int argc, wchar_t** argv) { return ServiceEntry(argc, argv); }
