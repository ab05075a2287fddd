#include "asio/com/class_table.h"

#include "asio/driver/asio.h"
#include "asio/driver/driver.h"

namespace korvex {

const FactoryTemplate classTable[] = {
    {L"CKORVEX", &CLSID_KorvexAsio, &CreateAsioDriver, nullptr},
};
const int classTableSize = sizeof(classTable) / sizeof(classTable[0]);

}  // namespace korvex
