#include "sim/models.h"

namespace sim {
namespace {

constexpr ModelInfo kModels[] = {
    {CardModel::Pico, "Pico", L"PCI\\VEN_1412&DEV_1724&SUBSYS_24011721", 2, 2},
    {CardModel::Six, "Six", L"PCI\\VEN_1412&DEV_1724&SUBSYS_24011722", 6, 2},
    {CardModel::Duo0, "Duo0", L"PCI\\VEN_1412&DEV_1724&SUBSYS_00000000", 2, 2},
    {CardModel::Duo, "Duo", L"PCI\\VEN_1412&DEV_1724&SUBSYS_24021721", 2, 2},
    {CardModel::Eight, "Eight", L"PCI\\VEN_1412&DEV_1724&SUBSYS_24021722", 8, 2},
};

}  // namespace

const ModelInfo& Model(CardModel model) {
    for (const auto& info : kModels) {
        if (info.model == model) return info;
    }
    return kModels[1];
}

}  // namespace sim
