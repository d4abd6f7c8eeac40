#include "assets/Resources.h"

#include <cstddef>

namespace stravik::assets {
namespace generated {
// From the generated sources in the build tree.
extern const uint8_t kDrumKickWave[];
extern const size_t kDrumKickWaveSize;
} // namespace generated

namespace {

struct Resource {
    std::string_view type;
    int id;
    const uint8_t* data;
    const size_t* size;
};

const Resource kResources[] = {
    {"wave", kDrumKickResource, generated::kDrumKickWave, &generated::kDrumKickWaveSize},
};

bool sameType(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

} // namespace

std::span<const uint8_t> findResource(std::string_view type, int id)
{
    for (const Resource& r : kResources)
        if (r.id == id && sameType(r.type, type)) return {r.data, *r.size};
    return {};
}

} // namespace stravik::assets
